#include "xpsfilterprintticketwatermarkimpl.h"

XpsFilterPrintTicketWatermarkImpl::XpsFilterPrintTicketWatermarkImpl() = default;

XpsFilterPrintTicketWatermarkImpl::~XpsFilterPrintTicketWatermarkImpl() = default;
