// Texts of the device state, reject reason and connectivity state enumerations.
#include <cstdio>

#include "zeltodeviceapi/ztdevicetypes.h"

extern "C" {

const char* ZtDeviceState_toString(ZtDeviceState state) {
  switch (state) {
    case ZDS_Initial: return "ZDS_Initial";
    case ZDS_Config: return "ZDS_Config";
    case ZDS_Measurement: return "ZDS_Measurement";
    case ZDS_WaitingForRecordingStart: return "ZDS_WaitingForRecordingStart";
    case ZDS_Recording: return "ZDS_Recording";
    case ZDS_FlushingData: return "ZDS_FlushingData";
    case ZDS_FinalizingRecording: return "ZDS_FinalizingRecording";
    case ZDS_Destructing: return "ZDS_Destructing";
  }
  // One buffer per thread: two threads formatting unknown values never share it.
  thread_local char text[64];
  std::snprintf(text, sizeof text, "ZDS Unknown(%d)", static_cast<int>(state));
  return text;
}

const char* ZtRejectReason_toString(ZtRejectReason reason) {
  switch (static_cast<int>(reason)) {
    case ZRR_Unknown: return "ZRR_Unknown";
    case ZRR_VersionMismatch: return "ZRR_VersionMismatch";
    case ZRR_Blacklisted: return "ZRR_Blacklisted";
    case ZRR_StationIsDisconnecting: return "ZRR_StationIsDisconnecting";
    case ZRR_SystemIsOperational: return "ZRR_SystemIsOperational";
    default: return "UnknownReason";
  }
}

const char* ZtConnectivityState_toString(ZtConnectivityState state) {
  switch (static_cast<int>(state)) {
    case ZCS_Disconnected: return "ZCS_Disconnected";
    case ZCS_Rejected: return "ZCS_Rejected";
    case ZCS_PluggedIn: return "ZCS_PluggedIn";
    case ZCS_Wireless: return "ZCS_Wireless";
    case ZCS_Unknown: return "ZCS_Unknown";
    default: return "UnknownState";  // 4, a device read from a log file, has no text of its own
  }
}

}  // extern "C"
