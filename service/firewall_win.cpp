// Windows half of the block: our provider and sublayer in a dynamic session
// of the Windows Filtering Platform, so every filter ends with the service
// process however it ends; the filters are replaced as one transaction.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "firewall.h"
#include "supervisor.h"
// After the project headers: the system's macros clash with names they declare.
#include "firewall_wfp.h"
#include <ws2tcpip.h>
#include <iphlpapi.h>

namespace tunneld {

// The system's own keys (fwpmu.h of the Windows SDK; mingw-w64 lacks them).
const GUID kLayerConnectV4 = {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
const GUID kLayerConnectV6 = {0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};
const GUID kLayerRecvV4 = {0xe1cd9fe7, 0xf4b5, 0x4273, {0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50}};
const GUID kLayerRecvV6 = {0xa3b42c97, 0x9f04, 0x4672, {0xb8, 0x7e, 0xce, 0xe9, 0xc4, 0x83, 0x25, 0x7f}};
const GUID kConditionFlags = {0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}};
const GUID kConditionAppId = {0xd78e1e87, 0x8644, 0x4ea5, {0x94, 0x37, 0xd8, 0x09, 0xec, 0xef, 0xc9, 0x71}};
const GUID kConditionRemoteAddress = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
const GUID kConditionRemotePort = {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
const GUID kConditionLocalPort = {0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}};
const GUID kConditionProtocol = {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
const GUID kConditionInterfaceType = {0xdaf8cd14, 0xe09e, 0x4c93, {0xa5, 0xae, 0xc5, 0xc1, 0x3b, 0x73, 0xff, 0xca}};
const GUID kConditionLocalInterface = {0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
// Ours.
const GUID kQuorvantaProvider = {0x5176a0e1, 0x3c2b, 0x4d7e, {0x9a, 0x61, 0x0b, 0x51, 0x76, 0x0a, 0x24, 0x01}};
const GUID kQuorvantaSublayer = {0x5176a0e1, 0x3c2b, 0x4d7e, {0x9a, 0x61, 0x0b, 0x51, 0x76, 0x0a, 0x24, 0x02}};

namespace {

constexpr UINT32 kDynamicSession = 0x00000001;  // FWPM_SESSION_FLAG_DYNAMIC
constexpr UINT32 kVirtualAdapter = 53;          // IF_TYPE_PROP_VIRTUAL: ovpn-dco's and wintun's adapters
constexpr UINT8 kUdp = 17, kTcp = 6, kIcmpV6 = 58;
constexpr int kMaxAdapters = 16;

DWORD SystemOpen(HANDLE* engine) {
  FWPM_SESSION0 session{};
  session.flags = kDynamicSession;
  return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, engine);
}
DWORD SystemAppId(const wchar_t* program, FWP_BYTE_BLOB** blob) { return FwpmGetAppIdFromFileName0(program, blob); }
void SystemFreeAppId(FWP_BYTE_BLOB** blob) { FwpmFreeMemory0(reinterpret_cast<void**>(blob)); }
DWORD SystemAddProvider(HANDLE engine, const FWPM_PROVIDER0* provider) {
  return FwpmProviderAdd0(engine, provider, nullptr);
}
DWORD SystemAddSublayer(HANDLE engine, const FWPM_SUBLAYER0* sublayer) {
  return FwpmSubLayerAdd0(engine, sublayer, nullptr);
}
DWORD SystemAddFilter(HANDLE engine, const FWPM_FILTER0* filter, UINT64* id) {
  return FwpmFilterAdd0(engine, filter, nullptr, id);
}

// OpenVPN's installer makes one adapter per driver; the tunnel runs on one of them.
int SystemTunnelAdapters(UINT64* luids, int max) {
  ULONG size = 16384;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return 0;
  static const wchar_t* const kDrivers[] = {L"TAP-Windows Adapter V9", L"Wintun Userspace Tunnel",
                                            L"OpenVPN Data Channel Offload"};
  int count = 0;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a && count < max; a = a->Next) {
    for (const wchar_t* driver : kDrivers) {
      if (a->Description && std::wcsncmp(a->Description, driver, std::wcslen(driver)) == 0) {
        luids[count++] = a->Luid.Value;
        break;
      }
    }
  }
  return count;
}

const WfpCalls kSystem = {SystemOpen,
                          FwpmEngineClose0,
                          [](HANDLE e) { return FwpmTransactionBegin0(e, 0); },
                          FwpmTransactionCommit0,
                          FwpmTransactionAbort0,
                          SystemAddProvider,
                          SystemAddSublayer,
                          SystemAddFilter,
                          FwpmFilterDeleteById0,
                          SystemAppId,
                          SystemFreeAppId,
                          SystemTunnelAdapters};
const WfpCalls* g_calls = &kSystem;

// One filter's conditions and the values they point at, kept alive for the call.
struct Conditions {
  std::vector<FWPM_FILTER_CONDITION0> list;
  std::vector<FWP_V4_ADDR_AND_MASK> v4;
  std::vector<FWP_V6_ADDR_AND_MASK> v6;
  std::vector<UINT64> luids;
  Conditions() {
    // Reserved up front: the conditions point into these.
    v4.reserve(4);
    v6.reserve(4);
    luids.reserve(kMaxAdapters);
  }
  void Luid(UINT64 luid) {
    luids.push_back(luid);
    FWP_CONDITION_VALUE0 value{};
    value.type = FWP_UINT64;
    value.uint64 = &luids.back();
    Add(kConditionLocalInterface, FWP_MATCH_EQUAL, value);
  }
  void Add(const GUID& field, FWP_MATCH_TYPE match, const FWP_CONDITION_VALUE0& value) {
    FWPM_FILTER_CONDITION0 c{};
    c.fieldKey = field;
    c.matchType = match;
    c.conditionValue = value;
    list.push_back(c);
  }
  void Uint8(const GUID& field, UINT8 v) {
    FWP_CONDITION_VALUE0 value{};
    value.type = FWP_UINT8;
    value.uint8 = v;
    Add(field, FWP_MATCH_EQUAL, value);
  }
  void Uint16(const GUID& field, UINT16 v) {
    FWP_CONDITION_VALUE0 value{};
    value.type = FWP_UINT16;
    value.uint16 = v;
    Add(field, FWP_MATCH_EQUAL, value);
  }
  void Uint32(const GUID& field, FWP_MATCH_TYPE match, UINT32 v) {
    FWP_CONDITION_VALUE0 value{};
    value.type = FWP_UINT32;
    value.uint32 = v;
    Add(field, match, value);
  }
  // "a.b.c.d/n" or "x::/n", or a bare address (all of it). false when it is none.
  bool Remote(const std::string& text) {
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    const bool v6Address = address.find(':') != std::string::npos;
    const int prefix = slash == std::string::npos ? (v6Address ? 128 : 32) : std::atoi(text.c_str() + slash + 1);
    FWP_CONDITION_VALUE0 value{};
    if (v6Address) {
      FWP_V6_ADDR_AND_MASK mask{};
      if (InetPtonA(AF_INET6, address.c_str(), mask.addr) != 1 || prefix < 0 || prefix > 128) return false;
      mask.prefixLength = static_cast<UINT8>(prefix);
      v6.push_back(mask);
      value.type = FWP_V6_ADDR_MASK;
      value.v6AddrMask = &v6.back();
    } else {
      in_addr parsed{};
      if (InetPtonA(AF_INET, address.c_str(), &parsed) != 1 || prefix < 0 || prefix > 32) return false;
      FWP_V4_ADDR_AND_MASK mask{};
      mask.addr = ntohl(parsed.s_addr);
      mask.mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
      v4.push_back(mask);
      value.type = FWP_V4_ADDR_MASK;
      value.v4AddrMask = &v4.back();
    }
    Add(kConditionRemoteAddress, FWP_MATCH_EQUAL, value);
    return true;
  }
};

const GUID* LayerOf(const std::string& name) {
  if (name == "connect4") return &kLayerConnectV4;
  if (name == "connect6") return &kLayerConnectV6;
  if (name == "recv4") return &kLayerRecvV4;
  if (name == "recv6") return &kLayerRecvV6;
  return nullptr;
}

// The conditions of one planned filter; false when they cannot be made.
bool ConditionsOf(const WfpFilter& filter, const FWP_BYTE_BLOB* appId, Conditions* out) {
  const bool v6 = filter.layer.back() == '6';
  const std::string& m = filter.match;
  if (m == "all") return true;
  if (m == "loopback") {
    out->Uint32(kConditionFlags, FWP_MATCH_FLAGS_ALL_SET, FWP_CONDITION_FLAG_IS_LOOPBACK);
    return true;
  }
  if (m == "tunnel") {
    out->Uint32(kConditionInterfaceType, FWP_MATCH_EQUAL, kVirtualAdapter);
    return true;
  }
  if (m == "tunnel adapters") {
    // Conditions on one field are either-or: any of OpenVPN's adapters, whatever its type.
    UINT64 luids[kMaxAdapters];
    const int count = g_calls->tunnelAdapters(luids, kMaxAdapters);
    for (int i = 0; i < count; ++i) out->Luid(luids[i]);
    return count > 0;
  }
  if (m == "dhcp") {
    out->Uint8(kConditionProtocol, kUdp);
    out->Uint16(kConditionLocalPort, v6 ? 546 : 68);
    out->Uint16(kConditionRemotePort, v6 ? 547 : 67);
    return true;
  }
  if (m == "neighbour discovery") {
    // Conditions on one field are either-or: link-local or link-scope multicast.
    out->Uint8(kConditionProtocol, kIcmpV6);
    return out->Remote("fe80::/10") && out->Remote("ff02::/16");
  }
  if (m.rfind("lan ", 0) == 0) return out->Remote(m.substr(4));
  if (m == "dns of the service") {
    out->Uint16(kConditionRemotePort, 53);
    return true;
  }
  if (m.rfind("app ", 0) == 0) {
    char address[64], protocol[8];
    unsigned port = 0;
    if (!appId || std::sscanf(m.c_str() + 4, "%63s %7s %u", address, protocol, &port) != 3 || port > 65535)
      return false;
    FWP_CONDITION_VALUE0 value{};
    value.type = FWP_BYTE_BLOB_TYPE;
    value.byteBlob = const_cast<FWP_BYTE_BLOB*>(appId);
    out->Add(kConditionAppId, FWP_MATCH_EQUAL, value);
    out->Uint8(kConditionProtocol, std::strcmp(protocol, "udp") == 0 ? kUdp : kTcp);
    out->Uint16(kConditionRemotePort, static_cast<UINT16>(port));
    return out->Remote(address);
  }
  return false;
}

std::wstring Wide(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  return out;
}

// Our provider and sublayer, weighted above every other in the engine.
DWORD AddOwnObjects(HANDLE engine) {
  FWPM_PROVIDER0 provider{};
  provider.providerKey = kQuorvantaProvider;
  provider.displayData.name = const_cast<wchar_t*>(L"Quorvanta");
  provider.displayData.description = const_cast<wchar_t*>(L"Blocks traffic outside the Quorvanta tunnel");
  DWORD error = g_calls->addProvider(engine, &provider);
  if (error != ERROR_SUCCESS) return error;
  FWPM_SUBLAYER0 sublayer{};
  sublayer.subLayerKey = kQuorvantaSublayer;
  sublayer.displayData.name = const_cast<wchar_t*>(L"Quorvanta block outside the tunnel");
  sublayer.providerKey = const_cast<GUID*>(&kQuorvantaProvider);
  sublayer.weight = 0xFFFF;
  return g_calls->addSublayer(engine, &sublayer);
}

}  // namespace

void UseWfpCalls(const WfpCalls* calls) { g_calls = calls ? calls : &kSystem; }

Firewall::~Firewall() { Remove(); }

// A dynamic session's filters end with the process that made them: nothing is left.
void Firewall::RemoveLeftovers() {}

bool Firewall::Apply(const BlockRules& rules, const char* openvpn) {
  HANDLE engine = static_cast<HANDLE>(engine_);
  bool opened = false;
  if (!engine) {
    const DWORD error = g_calls->open(&engine);
    if (error != ERROR_SUCCESS) {
      Log("cannot put the block outside the tunnel in force: the filtering engine cannot be opened (error 0x%lx)",
          static_cast<unsigned long>(error));
      return false;
    }
    opened = true;
  }
  FWP_BYTE_BLOB* appId = nullptr;
  const std::wstring program = Wide(openvpn ? openvpn : "");
  DWORD error = g_calls->appId(program.c_str(), &appId);
  if (error != ERROR_SUCCESS) {
    Log("cannot put the block outside the tunnel in force: no app id for %s (error 0x%lx)", openvpn ? openvpn : "",
        static_cast<unsigned long>(error));
    if (opened) g_calls->close(engine);
    return false;
  }
  std::vector<unsigned long long> added;
  error = g_calls->begin(engine);
  if (error == ERROR_SUCCESS && opened) error = AddOwnObjects(engine);
  // The old filters go in the same transaction the new ones come in.
  for (unsigned long long id : filters_) {
    if (error == ERROR_SUCCESS) error = g_calls->deleteFilter(engine, id);
  }
  for (const WfpFilter& planned : WfpFilters(rules)) {
    if (error != ERROR_SUCCESS) break;
    Conditions conditions;
    const GUID* layer = LayerOf(planned.layer);
    const bool made = layer && ConditionsOf(planned, appId, &conditions);
    // No adapter of OpenVPN's present: its virtual adapters still pass by their type.
    if (!made && planned.match == "tunnel adapters") continue;
    if (!made) {
      Log("cannot put the block outside the tunnel in force: the filter \"%s\" cannot be made", planned.match.c_str());
      error = ERROR_INVALID_PARAMETER;
      break;
    }
    FWPM_FILTER0 filter{};
    filter.displayData.name = const_cast<wchar_t*>(L"Quorvanta");
    filter.providerKey = const_cast<GUID*>(&kQuorvantaProvider);
    filter.subLayerKey = kQuorvantaSublayer;
    filter.layerKey = *layer;
    filter.weight.type = FWP_UINT8;
    filter.weight.uint8 = static_cast<UINT8>(planned.weight);
    filter.action.type = planned.action == "permit" ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
    filter.numFilterConditions = static_cast<UINT32>(conditions.list.size());
    filter.filterCondition = conditions.list.empty() ? nullptr : conditions.list.data();
    UINT64 id = 0;
    error = g_calls->addFilter(engine, &filter, &id);
    if (error == ERROR_SUCCESS) added.push_back(id);
  }
  if (error == ERROR_SUCCESS) error = g_calls->commit(engine);
  g_calls->freeAppId(&appId);
  if (error != ERROR_SUCCESS) {
    g_calls->abort(engine);
    Log("cannot put the block outside the tunnel in force: the filters were refused (error 0x%lx)",
        static_cast<unsigned long>(error));
    if (opened) g_calls->close(engine);
    return false;
  }
  engine_ = engine;
  filters_ = std::move(added);
  active_ = true;
  return true;
}

void Firewall::Remove() {
  if (!engine_) return;
  // Closing the dynamic session removes our provider, sublayer and filters.
  g_calls->close(static_cast<HANDLE>(engine_));
  engine_ = nullptr;
  filters_.clear();
  active_ = false;
}

long long ResolverUid() { return -1; }

bool ResolveServer(const char* host, const char* port, bool udp, char* out, size_t outSize) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = udp ? SOCK_DGRAM : SOCK_STREAM;
  addrinfo* found = nullptr;
  if (!started || getaddrinfo(host, port, &hints, &found) != 0 || !found) {
    Log("cannot resolve the server %s (error %d)", host, WSAGetLastError());
    return false;
  }
  const int named = getnameinfo(found->ai_addr, static_cast<socklen_t>(found->ai_addrlen), out,
                                static_cast<DWORD>(outSize), nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (named != 0 || !IsNumericAddress(out)) {
    Log("cannot resolve the server %s: no usable address", host);
    return false;
  }
  return true;
}

}  // namespace tunneld
