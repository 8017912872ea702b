#include "sim/kernel/core/handles.h"

#include <memory>
#include <mutex>
#include <vector>
#include <unordered_map>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {

struct HandleEntry {
  void* object;
  POBJECT_TYPE type;
  void (*onClose)(void*);
};

struct ObjectEntry {
  POBJECT_TYPE type;
  void (*destroy)(void*);
  LONG_PTR refs;
};

struct Tables {
  std::mutex lock;
  std::unordered_map<HANDLE, HandleEntry> handles;
  std::unordered_map<const void*, ObjectEntry> objects;
  uint64_t nextHandle = 1;
};

Tables& T() {
  static Tables* t = new Tables;
  return *t;
}

}  // namespace

HANDLE InsertHandle(void* object, POBJECT_TYPE type, void (*onClose)(void* object)) {
  std::lock_guard<std::mutex> l(T().lock);
  // Kernel handles have the top bit set on Windows; multiples of 4.
  HANDLE h = (HANDLE)(ULONG_PTR)(0xFFFFFFFF80000000ULL + 4 * T().nextHandle++);
  T().handles[h] = {object, type, onClose};
  return h;
}

void* LookupHandle(HANDLE handle, POBJECT_TYPE type_or_null) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().handles.find(handle);
  if (it == T().handles.end()) return nullptr;
  if (type_or_null && it->second.type != type_or_null) return nullptr;
  return it->second.object;
}

POBJECT_TYPE HandleType(HANDLE handle) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().handles.find(handle);
  return it == T().handles.end() ? nullptr : it->second.type;
}

NTSTATUS CloseHandle(HANDLE handle) {
  HandleEntry e;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().handles.find(handle);
    if (it == T().handles.end()) return STATUS_INVALID_HANDLE;
    e = it->second;
    T().handles.erase(it);
  }
  if (e.onClose) e.onClose(e.object);
  return STATUS_SUCCESS;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> l(T().lock);
  return T().handles.size();
}

size_t ObjectCount(POBJECT_TYPE except) {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [obj, entry] : T().objects) n += entry.type != except ? 1 : 0;
  return n;
}

void RegisterObject(void* obj, POBJECT_TYPE type, void (*destroy)(void* obj)) {
  std::lock_guard<std::mutex> l(T().lock);
  T().objects[obj] = {type, destroy, 1};
}

bool IsRegisteredObject(const void* obj) {
  std::lock_guard<std::mutex> l(T().lock);
  return T().objects.count(obj) != 0;
}

LONG_PTR ObjectReferenceCount(const void* obj) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().objects.find(obj);
  return it == T().objects.end() ? 0 : it->second.refs;
}

POBJECT_TYPE ObjectType(const void* obj) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().objects.find(obj);
  return it == T().objects.end() ? nullptr : it->second.type;
}

POBJECT_TYPE DefineObjectType(const char* name) {
  // Types live for the whole process; the list keeps them reachable.
  static std::mutex lock;
  static auto* types = new std::vector<std::unique_ptr<_OBJECT_TYPE>>;
  std::lock_guard<std::mutex> l(lock);
  types->push_back(std::make_unique<_OBJECT_TYPE>(_OBJECT_TYPE{name}));
  return types->back().get();
}

const char* ObjectTypeName(POBJECT_TYPE type) { return type ? type->Name : "(none)"; }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

LONG_PTR ObfReferenceObject(PVOID Object) {
  LONG_PTR refs = 0;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().objects.find(Object);
    if (it != T().objects.end()) refs = ++it->second.refs;
  }
  if (!refs) sim::verifier::Fail("ObfReferenceObject", "%p is not an object (never created or already deleted)", Object);
  return refs;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  ObjectEntry e{};
  bool found = false;
  LONG_PTR refs = 0;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().objects.find(Object);
    if (it != T().objects.end()) {
      found = true;
      refs = --it->second.refs;
      if (refs == 0) {
        e = it->second;
        T().objects.erase(it);
      }
    }
  }
  if (!found) {
    sim::verifier::Fail("ObfDereferenceObject", "%p is not an object (never created or already deleted)", Object);
    return 0;
  }
  if (refs == 0 && e.destroy) e.destroy(Object);
  return refs;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(AccessMode);
  enum { kReferenced, kUnknown, kMismatch } result;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().objects.find(Object);
    if (it == T().objects.end()) {
      result = kUnknown;
    } else if (ObjectType && it->second.type != ObjectType) {
      result = kMismatch;
    } else {
      ++it->second.refs;
      result = kReferenced;
    }
  }
  if (result == kUnknown) {
    sim::verifier::Fail("ObReferenceObjectByPointer", "%p is not an object", Object);
    return STATUS_INVALID_PARAMETER;
  }
  return result == kMismatch ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  if (!sim::kernel::CheckIrqlAtMost("ZwClose", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = CloseHandle(Handle);
  if (status == STATUS_INVALID_HANDLE) sim::verifier::Fail("ZwClose", "invalid kernel handle %p", Handle);
  return status;
}

NTSTATUS ObCloseHandle(HANDLE Handle, KPROCESSOR_MODE PreviousMode) {
  UNREFERENCED_PARAMETER(PreviousMode);
  NTSTATUS status = CloseHandle(Handle);
  if (status == STATUS_INVALID_HANDLE) sim::verifier::Fail("ObCloseHandle", "invalid kernel handle %p", Handle);
  return status;
}

}  // extern "C"
