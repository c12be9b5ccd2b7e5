// XpsFilterPrintTicketWatermarkImpl: the view of one scope's tickets that also reads the
// driver's watermark settings (the tagged settings text of the job, the per-user watermark
// file, client job data) into records a filter can draw.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/xpsfilterprintticketbase.h>

class FILTERUTILITIES_API XpsFilterPrintTicketWatermarkImpl : public XpsFilterPrintTicketBase {
public:
    XpsFilterPrintTicketWatermarkImpl();
    ~XpsFilterPrintTicketWatermarkImpl() override;
};
