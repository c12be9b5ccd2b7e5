// The PrintTicket API (prntvpt.h): the scopes in which print tickets are merged and read.
#pragma once

#include "windows.h"

// A narrower scope has a smaller value: a page ticket may carry page, document and job
// settings, a job ticket only job settings.
enum EPrintTicketScope : int32_t {
    kPTPageScope = 0,
    kPTDocumentScope = 1,
    kPTJobScope = 2,
};
static_assert(sizeof(EPrintTicketScope) == 4);
