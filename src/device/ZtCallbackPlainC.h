#pragma once
// The plain event table of the C interface, seen from the library. The record itself is public
// (zeltodeviceapi/ztcallbackplainc.h); ZtCallback derives from it and CallbackManagerZda calls
// through it.
#include <cstddef>
#include <type_traits>

#include "zeltodeviceapi/ztcallbackplainc.h"

// Applications built against the C header lay the table out as 13 function pointers in event
// order; the library must agree.
static_assert(std::is_standard_layout_v<ZtCallbackPlainC>);
static_assert(sizeof(ZtCallbackPlainC) == 13 * sizeof(void (*)()));
static_assert(offsetof(ZtCallbackPlainC, m_onDeviceStateChanged) == 0);
static_assert(offsetof(ZtCallbackPlainC, m_onWriteMessageToLogFile) == 5 * sizeof(void (*)()));
static_assert(offsetof(ZtCallbackPlainC, m_onMessageSentToDevice) == 12 * sizeof(void (*)()));
