// XpsFilterPrintTicket: the view a filter is handed for one scope, with the typed settings
// (duplex, orientation, scaling, media size, booklet binding, pages per sheet, output paper
// size) read from it and cached until the view is filled again.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

class FILTERUTILITIES_API XpsFilterPrintTicket : public XpsFilterPrintTicketWatermarkImpl {
public:
    XpsFilterPrintTicket();
    ~XpsFilterPrintTicket() override;
};
