#pragma once
// The Windows Filtering Platform calls the block makes, behind a table so
// that the tests (Wine has no filtering engine) can record them.
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

namespace tunneld {

struct WfpCalls {
  DWORD (*open)(HANDLE* engine);  // a dynamic session: its objects end with it
  DWORD (*close)(HANDLE engine);
  DWORD (*begin)(HANDLE engine);
  DWORD (*commit)(HANDLE engine);
  DWORD (*abort)(HANDLE engine);
  DWORD (*addProvider)(HANDLE engine, const FWPM_PROVIDER0* provider);
  DWORD (*addSublayer)(HANDLE engine, const FWPM_SUBLAYER0* sublayer);
  DWORD (*addFilter)(HANDLE engine, const FWPM_FILTER0* filter, UINT64* id);
  DWORD (*deleteFilter)(HANDLE engine, UINT64 id);
  DWORD (*appId)(const wchar_t* program, FWP_BYTE_BLOB** blob);
  void (*freeAppId)(FWP_BYTE_BLOB** blob);
  // The LUIDs of OpenVPN's own adapters (TAP-Windows6, Wintun, Data Channel
  // Offload) present now; at most max, the count returned.
  int (*tunnelAdapters)(UINT64* luids, int max);
};

// The calls in use (the system's unless a test replaced them); nullptr restores the system's.
void UseWfpCalls(const WfpCalls* calls);

// The keys the block's objects and filters are made with.
extern const GUID kQuorvantaProvider;
extern const GUID kQuorvantaSublayer;
extern const GUID kLayerConnectV4, kLayerConnectV6, kLayerRecvV4, kLayerRecvV6;
extern const GUID kConditionFlags, kConditionAppId, kConditionRemoteAddress, kConditionRemotePort, kConditionLocalPort,
    kConditionProtocol, kConditionInterfaceType, kConditionLocalInterface;

}  // namespace tunneld
