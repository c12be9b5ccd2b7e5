// PageMediaSizePtPcHelper: the driver's forms list, read through DeviceCapabilitiesW, filtered
// for print tickets, matched against a size and written into a ticket as its PageMediaSize.
//
// Contract.
// - The forms list is asked for only on a thread that impersonates the printing user
//   (GetPaperInfoForAnXpsFilter answers an empty list otherwise, which is no error);
//   GetFilteredPaperInfoForAnXpsFilter impersonates the token given for the call and gives the
//   thread back the impersonation it had before, also when it throws.
// - A form is named as a Print Schema PageMediaSize option by its kind (FormKind): the custom
//   size is CustomMediaSize (PSCustomMediaSize for PostScript), a user form
//   "UserForm_<number>_<width>x<height>" and a driver custom size
//   "DriverCustomSize_<number>_<width>x<height>" in the driver's private keywords namespace
//   (sizes in tenths of a millimetre); the other forms take the page size dictionary's name.
// - AddOrReplacePageMediaSize edits the ticket only once the form has been named and its size
//   fits the ticket's integers (0 to INT_MAX micrometres; E_INVALIDARG otherwise): a form that
//   cannot be written leaves the ticket as it was. The
//   old PageMediaSize feature and the initialisers of its parameters are removed, the new
//   feature goes at the end of the root, followed by the custom size's initialisers.
// - Operations that return an HRESULT turn a KeldanComException into its HRESULT; a failed
//   string allocation raises ATL::CAtlException(E_OUTOFMEMORY) and std::bad_alloc passes on.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printschemaxmldocument.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/attributebytesids.h>
#include <kldutil/cxstring.h>

#include <windows.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

class PageSizeDictionary;

// One form as the driver's DeviceCapabilitiesW hands it out (capability 65525): 152 bytes,
// little-endian. Sizes are tenths of a millimetre.
struct _tag_FormsInfoRec {
    uint16_t formNumber; // 256 marks the custom size
    uint16_t reserved1;
    int32_t width;
    int32_t height;
    int32_t paperSizeValueId; // a DataModelIds::tagValueEnum value of the driver's data model
    int32_t reserved2;
    int32_t formKind; // PageMediaSizePtPcHelper::FormKind
    uint8_t reserved3[128];
};
static_assert(sizeof(_tag_FormsInfoRec) == 152);
static_assert(offsetof(_tag_FormsInfoRec, paperSizeValueId) == 12);
static_assert(offsetof(_tag_FormsInfoRec, formKind) == 20);
static_assert(std::endian::native == std::endian::little, "the record is read as it lies");

class FILTERUTILITIES_API PageMediaSizePtPcHelper {
public:
    // The kinds of form the driver reports, and what a ticket's list keeps of them.
    enum FormKind : int32_t {
        DriverForm = 25001,       // always kept; named by the dictionary
        HiddenForm = 25002,       // never kept; named by the dictionary
        DriverCustomSize = 25003, // kept when its size is not yet listed; "DriverCustomSize_"
        SystemForm = 25004,       // kept when its size is not yet listed; named by the dictionary
        UserForm = 25005,         // kept when its size is not yet listed; "UserForm_"
        CustomSizeRecord = 25008, // always kept; the record that carries a custom size
    };
    static constexpr uint16_t kCustomFormNumber = 256;
    // The driver's private DeviceCapabilitiesW numbers.
    static constexpr WORD kFormsCapability = 65525;
    static constexpr WORD kMarginsCapability = 65518;
    // The paper size value id that any form of the right size matches.
    static constexpr int32_t kAnyPaperSize = 5001;

    virtual ~PageMediaSizePtPcHelper();

    // The driver's forms for the printer, asked as the thread's current user; empty when the
    // thread does not impersonate or the driver answers with a failure.
    static std::vector<_tag_FormsInfoRec> GetPaperInfoForAnXpsFilter(CXString& printer);
    // The forms a ticket may name (FilterPaperSizeListForPrintTicket), asked as the user of
    // userToken. A token that cannot be impersonated raises KeldanComException.
    static std::vector<_tag_FormsInfoRec> GetFilteredPaperInfoForAnXpsFilter(CXString& printer,
                                                                             void* userToken);
    // Every driver form and custom-size record, in list order; then the system forms, the user
    // forms and the driver custom sizes, each only when no form already kept has its size.
    // Other kinds are dropped.
    static std::vector<_tag_FormsInfoRec>
    FilterPaperSizeListForPrintTicket(std::vector<_tag_FormsInfoRec> list);
    // The form of a size (micrometres, cut to tenths of a millimetre) other than the custom-size
    // record: the first whose paper size id is paperSize (any, for kAnyPaperSize), else the
    // first of that size; S_OK. Without one, the first custom-size record carrying the size,
    // or nothing when there is none; S_FALSE. out is written only when something is found.
    static HRESULT FindFormInfoRect(std::vector<_tag_FormsInfoRec> list, int width, int height,
                                    DataModelIds::tagValueEnum paperSize, _tag_FormsInfoRec* out);

    // The PageMediaSize option that names the form, and its namespace (KeywordsNs or
    // UserKeywordsNs): custom gives the custom size's name; driver, hidden and system forms
    // take the name of the dictionary's first entry of their size and paper size id (name
    // unchanged and KeywordsNs when there is none); user forms and driver custom sizes are
    // named by number and size. Raises E_POINTER for a null name or ns, E_FAIL for a form of
    // another kind. The overload without a dictionary builds one from the core library,
    // which is loaded at its first use (a core library that cannot be loaded raises
    // ExceptionDelayLoadDllLoadFailure).
    static void GetMsPageMediaSizeOptionName(bool custom, bool postScript,
                                             PageSizeDictionary& dictionary,
                                             const _tag_FormsInfoRec& form, CXString* name,
                                             PrintSchema::MsPrintTicketNamespacesEnum* ns);
    static void GetMsPageMediaSizeOptionName(bool custom, bool postScript,
                                             const _tag_FormsInfoRec& form, CXString* name,
                                             PrintSchema::MsPrintTicketNamespacesEnum* ns);

    // Removes the PageMediaSize feature and the initialisers of its custom-size parameters.
    // S_OK, or the failure.
    static HRESULT DeletePageMediaSizeAndItsParameterInitsIfExist(PrintTicketXmlDocument& ticket);
    // Writes the form into the ticket as its PageMediaSize (see the contract): the custom size
    // (form number 256) by reference to ParameterInit elements of its size, any other form
    // with its size as integer scored properties. S_OK; E_FAIL for a form of another kind,
    // E_INVALIDARG for one without a name or with a size the ticket cannot carry, or the
    // failure of the edit. The overload without a dictionary builds one as above.
    static HRESULT AddOrReplacePageMediaSize(PrintTicketXmlDocument& ticket, bool postScript,
                                             PageSizeDictionary& dictionary,
                                             _tag_FormsInfoRec& form);
    static HRESULT AddOrReplacePageMediaSize(PrintTicketXmlDocument& ticket, bool postScript,
                                             _tag_FormsInfoRec& form);

private:
    // The option name of a form that the dictionary does not name (the custom size, user forms,
    // driver custom sizes): true with name and ns set. False for the dictionary's kinds; any
    // other kind raises E_FAIL.
    static bool NameWithoutDictionary(bool custom, bool postScript, const _tag_FormsInfoRec& form,
                                      CXString& name, PrintSchema::MsPrintTicketNamespacesEnum& ns);
    // Writes the named option into the ticket in place of its PageMediaSize (see the contract).
    static void WritePageMediaSize(PrintTicketXmlDocument& ticket, bool custom, bool postScript,
                                   const CXString& name,
                                   PrintSchema::MsPrintTicketNamespacesEnum ns,
                                   const _tag_FormsInfoRec& form);
};
