// CResourceCopier: attaches every resource part of one fixed page to another, so that a page a
// filter builds can reach the fonts and images of its source page.
//
// Contract: the copier holds nothing; the pages keep their own references to the parts. The
// source page is only read. Parts are attached in the order of the source's part iterator;
// the first failure stops the copy, so the destination then has the parts before the failing
// one and none after it.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <filterpipeline.h>
#include <windows.h>

class FILTERUTILITIES_API CResourceCopier {
public:
    CResourceCopier();
    virtual ~CResourceCopier();

    // E_POINTER for a null page; otherwise S_OK when every part was attached (or the source
    // has none), else the first failure of the iterator or of SetPagePart.
    HRESULT CopyPageResources(const IFixedPage* source, IFixedPage* destination) const;
};
