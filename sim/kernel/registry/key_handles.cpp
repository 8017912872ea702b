#include "sim/kernel/registry/key_handles.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "sim/kernel/core/handles.h"
#include "sim/kernel/registry/registry_names.h"

namespace sim::registry {
namespace {

struct KeyHandleObject {
  KeyRef key;
  ACCESS_MASK access;
  std::u16string path;
  HANDLE handle = nullptr;
};

struct Handles {
  std::mutex lock;
  std::map<KeyHandleObject*, std::unique_ptr<KeyHandleObject>> live;
};

Handles& H() {
  static Handles* h = new Handles;
  return *h;
}

void OnClose(void* object) {
  std::unique_ptr<KeyHandleObject> dead;
  std::lock_guard<std::mutex> l(H().lock);
  auto it = H().live.find(static_cast<KeyHandleObject*>(object));
  if (it == H().live.end()) return;
  dead = std::move(it->second);
  H().live.erase(it);
}

}  // namespace

POBJECT_TYPE KeyObjectType() {
  static POBJECT_TYPE type = sim::kernel::DefineObjectType("Key");
  return type;
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK a = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED |
                              KEY_WOW64_RES);
  if (desired & GENERIC_READ) a |= KEY_READ;
  if (desired & GENERIC_WRITE) a |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) a |= KEY_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= KEY_ALL_ACCESS;
  return a;
}

HANDLE InsertKeyHandle(KeyRef key, ACCESS_MASK granted) {
  auto obj = std::make_unique<KeyHandleObject>();
  obj->path = KeyPath(key);
  obj->key = std::move(key);
  obj->access = granted;
  KeyHandleObject* raw = obj.get();
  {
    std::lock_guard<std::mutex> l(H().lock);
    H().live[raw] = std::move(obj);
  }
  HANDLE h = sim::kernel::InsertHandle(raw, KeyObjectType(), OnClose);
  std::lock_guard<std::mutex> l(H().lock);
  auto it = H().live.find(raw);
  if (it != H().live.end()) it->second->handle = h;
  return h;
}

NTSTATUS ReferenceKeyHandle(HANDLE handle, ACCESS_MASK required, KeyRef* key) {
  void* object = sim::kernel::LookupHandle(handle, KeyObjectType());
  if (!object) return sim::kernel::LookupHandle(handle, nullptr) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> l(H().lock);
  auto it = H().live.find(static_cast<KeyHandleObject*>(object));
  if (it == H().live.end()) return STATUS_INVALID_HANDLE;  // closed meanwhile
  if ((it->second->access & required) != required) return STATUS_ACCESS_DENIED;
  *key = it->second->key;
  return STATUS_SUCCESS;
}

std::vector<OpenKeyHandle> OpenKeyHandles() {
  std::vector<OpenKeyHandle> out;
  std::lock_guard<std::mutex> l(H().lock);
  for (auto& [raw, obj] : H().live) out.push_back({obj->handle, obj->path, obj->access});
  return out;
}

size_t OpenKeyHandleCount() {
  std::lock_guard<std::mutex> l(H().lock);
  return H().live.size();
}

std::string DescribeOpenKeyHandles() {
  std::string out;
  for (auto& h : OpenKeyHandles()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "key handle %p (access 0x%x): ", h.handle, h.access);
    out += buf + ToUtf8(h.path) + "\n";
  }
  return out;
}

}  // namespace sim::registry
