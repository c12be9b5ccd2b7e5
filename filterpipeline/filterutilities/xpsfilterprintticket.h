// XpsFilterPrintTicket: the view a filter is handed for one scope, with the typed settings
// (duplex, orientation, scaling, media size, booklet binding, pages per sheet, output paper
// size) read from it and cached until the view is filled again.
//
// Contract.
// - Duplex, orientation and the page media size come from the Print Schema tickets, looked up
//   by the feature's own scope (XpsFilterGetFeatureOption, XpsFilterGetScoredPropertyValue);
//   scaling, booklet binding and pages per sheet come from the driver's data model in the
//   devmode snapshot (GetAttributeBytesIndexedListRef); the output paper size comes from the
//   data model when it names one of its own, else from the page media size.
// - Each getter computes its setting at most once per fill and answers later calls of the
//   same fill from its cache, with status S_OK. A getter that failed answers its defaults,
//   caches nothing and reads again on its next call.
// - found and status may be null. The outcome goes through DoStandardStatusReturnProcessing:
//   with status the getter never raises and reports there (an absent setting as S_FALSE with
//   found false); with found alone an absent setting gives found false and a real failure
//   raises KeldanComException; with neither, any failure raises, an absent setting included.
//   S_FALSE means the record holds its defaults: the data model is empty (or, for the output
//   paper size, the page media size it falls back to is not set). An allocation failure
//   raises ATL::CAtlException(E_OUTOFMEMORY) or std::bad_alloc whatever is given, and leaves
//   the cache as it was.
// - source, when given, receives the ticket the setting was read from: for the data-model
//   settings the ticket whose devmode snapshot the data model came from, for the page media
//   size the ticket that answered its height (the last read; a wider ticket may have given
//   the height of a narrower ticket's width). It is left unchanged when the setting is a
//   default, the data model is an earlier fill's, or the getter failed.
// - The records returned by reference are members of the view: valid while it lives, changed
//   by the next computation of the same getter.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printschemasettings.h>
#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

#include <windows.h>

#include <array>
#include <cstddef>
#include <optional>

class FILTERUTILITIES_API XpsFilterPrintTicket : public XpsFilterPrintTicketWatermarkImpl {
public:
    XpsFilterPrintTicket();
    ~XpsFilterPrintTicket() override;

    // Ticket feature "JobDuplexAllDocumentsContiguously"; OneSided when its option is no
    // duplex keyword.
    PrintSchema::JobDuplexAllDocumentsContiguously::EDuplexOption
    GetDuplex(bool* found = nullptr, HRESULT* status = nullptr, EFilterPtScope* source = nullptr);
    // Ticket feature "PageOrientation"; Portrait when its option is no orientation keyword.
    PrintSchema::PageOrientation::EOrientationOption
    GetOrientation(bool* found = nullptr, HRESULT* status = nullptr,
                   EFilterPtScope* source = nullptr);
    const PrintSchema::PageScaling::PageScalingData&
    GetPageScaling(bool* found = nullptr, HRESULT* status = nullptr,
                   EFilterPtScope* source = nullptr);
    // The scored properties MediaSizeWidth and MediaSizeHeight of "PageMediaSize"; read only
    // when the view has a data model of this driver (S_FALSE and Letter otherwise).
    const PrintSchema::PageMediaSize::PageMediaSizeData&
    GetPageMediaSize(bool* found = nullptr, HRESULT* status = nullptr,
                     EFilterPtScope* source = nullptr);
    const PrintSchema::Binding::BindingData& GetBookletBinding(bool* found = nullptr,
                                                               HRESULT* status = nullptr,
                                                               EFilterPtScope* source = nullptr);
    const PrintSchema::NUp::NUpData& GetNUp(bool* found = nullptr, HRESULT* status = nullptr,
                                            EFilterPtScope* source = nullptr);
    const PrintSchema::OutputPaperSize::OutputPaperSizeData&
    GetOutputPaperSize(bool* found = nullptr, HRESULT* status = nullptr,
                       EFilterPtScope* source = nullptr);

private:
    // One getter's cache: the fill its value was computed at, the value, and the ticket it
    // came from.
    template <class Value>
    struct SettingCache {
        PtChangeCounter counter;
        Value value{};
        std::optional<EFilterPtScope> source;
    };

    // The common frame of the getters: answers from the cache when it is current, otherwise
    // runs compute(value, source) -> HRESULT on a value starting as initial (a raised
    // KeldanComException counts as its HRESULT) and caches the value when compute succeeded,
    // or stores initial when it failed; then the common tail.
    template <class Value, class Compute>
    const Value& Lookup(SettingCache<Value>& cache, const Value& initial, bool* found,
                        HRESULT* status, EFilterPtScope* source, Compute&& compute);
    bool IsCurrent(const PtChangeCounter& counter) const noexcept;
    // The data model's own output size (the collection of its size id and dimensions) when
    // it prints at one; null when it prints at the page media size. A data model that names
    // an own output size without the collection raises 0x80070490.
    const AttributeBytesIndexedList* OwnOutputSize();
    // The ticket the data model was taken from, when it was taken from one of this fill.
    std::optional<EFilterPtScope> DataModelSource();
    // The option keyword of a ticket feature as its position in names; value stays as it is
    // for a keyword that is not there.
    template <class Option, size_t Count>
    HRESULT ReadOption(const WCHAR* feature, const std::array<const WCHAR*, Count>& names,
                       Option& value, std::optional<EFilterPtScope>& source);

    SettingCache<PrintSchema::PageOrientation::EOrientationOption> m_orientation{
        {}, PrintSchema::PageOrientation::Portrait, {}};
    SettingCache<PrintSchema::JobDuplexAllDocumentsContiguously::EDuplexOption> m_duplex;
    SettingCache<PrintSchema::PageScaling::PageScalingData> m_pageScaling;
    SettingCache<PrintSchema::Binding::BindingData> m_bookletBinding;
    SettingCache<PrintSchema::NUp::NUpData> m_nUp;
    SettingCache<PrintSchema::PageMediaSize::PageMediaSizeData> m_pageMediaSize;
    SettingCache<PrintSchema::OutputPaperSize::OutputPaperSizeData> m_outputPaperSize;
};
