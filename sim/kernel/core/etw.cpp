// ETW providers. A provider is enabled only while TROX_TRACE is set; enabled
// events are printed to stderr as one line each: provider, event id, level
// and every data item (integers in hex and decimal, other sizes as bytes).
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>

#include <wdm.h>

#include "sim/kernel/core/trace_setting.h"

namespace sim::kernel {

int TraceLevel() {
  const char* v = getenv("TROX_TRACE");
  if (!v) return 0;
  char* end;
  long n = strtol(v, &end, 10);
  if (end == v || *end != '\0') return TRACE_LEVEL_VERBOSE;
  return n < 0 ? 0 : (int)n;
}

namespace {

struct Provider {
  GUID id;
  PETWENABLECALLBACK callback;
  PVOID context;
};

struct Providers {
  std::mutex lock;
  std::unordered_map<REGHANDLE, Provider> byHandle;
  REGHANDLE next = 1;
};

Providers& P() {
  static Providers* p = new Providers;
  return *p;
}

bool Lookup(REGHANDLE h, GUID* id) {
  std::lock_guard<std::mutex> l(P().lock);
  auto it = P().byHandle.find(h);
  if (it == P().byHandle.end()) return false;
  if (id) *id = it->second.id;
  return true;
}

bool LevelEnabled(UCHAR level) {
  int max = TraceLevel();
  return max > 0 && (level == TRACE_LEVEL_NONE || level <= max);
}

void AppendItem(std::string& line, const EVENT_DATA_DESCRIPTOR& d) {
  const auto* p = reinterpret_cast<const unsigned char*>((ULONG_PTR)d.Ptr);
  char buf[64];
  unsigned long long v = 0;
  if (p && (d.Size == 1 || d.Size == 2 || d.Size == 4 || d.Size == 8)) {
    memcpy(&v, p, d.Size);
    long long s = d.Size == 1 ? (long long)(signed char)v
                  : d.Size == 2 ? (long long)(short)v
                  : d.Size == 4 ? (long long)(int)v
                                : (long long)v;
    snprintf(buf, sizeof buf, " 0x%llx=%lld", v, s);
    line += buf;
    return;
  }
  line += " [";
  for (ULONG i = 0; p && i < d.Size; i++) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    line += buf;
  }
  line += "]";
}

}  // namespace
}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

NTSTATUS EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                     PREGHANDLE RegHandle) {
  REGHANDLE h;
  {
    std::lock_guard<std::mutex> l(P().lock);
    h = P().next++;
    P().byHandle[h] = {*ProviderId, EnableCallback, CallbackContext};
  }
  *RegHandle = h;
  int level = TraceLevel();
  if (level && EnableCallback)
    EnableCallback(ProviderId, EVENT_CONTROL_CODE_ENABLE_PROVIDER, (UCHAR)level, ~0ULL, 0, nullptr, CallbackContext);
  return STATUS_SUCCESS;
}

NTSTATUS EtwUnregister(REGHANDLE RegHandle) {
  std::lock_guard<std::mutex> l(P().lock);
  return P().byHandle.erase(RegHandle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

BOOLEAN EtwEventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor) {
  return Lookup(RegHandle, nullptr) && LevelEnabled(EventDescriptor->Level);
}

BOOLEAN EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword) {
  UNREFERENCED_PARAMETER(Keyword);
  return Lookup(RegHandle, nullptr) && LevelEnabled(Level);
}

NTSTATUS EtwWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, LPCGUID ActivityId, ULONG UserDataCount,
                  PEVENT_DATA_DESCRIPTOR UserData) {
  UNREFERENCED_PARAMETER(ActivityId);
  GUID id;
  if (!Lookup(RegHandle, &id)) return STATUS_INVALID_HANDLE;
  if (!LevelEnabled(EventDescriptor->Level)) return STATUS_SUCCESS;
  char head[96];
  snprintf(head, sizeof head, "ETW %08x event %u level %u:", id.Data1, EventDescriptor->Id, EventDescriptor->Level);
  std::string line = head;
  for (ULONG i = 0; i < UserDataCount; i++) AppendItem(line, UserData[i]);
  line += "\n";
  fputs(line.c_str(), stderr);
  return STATUS_SUCCESS;
}

}  // extern "C"
