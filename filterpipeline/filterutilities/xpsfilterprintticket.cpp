#include "xpsfilterprintticket.h"

XpsFilterPrintTicket::XpsFilterPrintTicket() = default;

XpsFilterPrintTicket::~XpsFilterPrintTicket() = default;
