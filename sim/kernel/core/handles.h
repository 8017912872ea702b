// The kernel handle table and object reference counts shared by all parts of
// the kernel stand-in. Kernel handles are distinct non-null values that never
// collide with NtCurrentThread()/NtCurrentProcess().
#pragma once
#include <wdm.h>

struct _OBJECT_TYPE {
  const char* Name;
};

namespace sim::kernel {

// Returns a new handle referring to object. onClose (may be null) runs when
// the handle is closed, typically to drop the reference the handle held.
HANDLE InsertHandle(void* object, POBJECT_TYPE type, void (*onClose)(void* object));
// The object of a handle, or nullptr if the handle is unknown or, with a
// non-null type, refers to an object of another type.
void* LookupHandle(HANDLE handle, POBJECT_TYPE type_or_null);
POBJECT_TYPE HandleType(HANDLE handle);
// STATUS_SUCCESS or STATUS_INVALID_HANDLE.
NTSTATUS CloseHandle(HANDLE handle);
size_t OpenHandleCount();
// Reference-counted objects alive now, except those of type `except`.
size_t ObjectCount(POBJECT_TYPE except = nullptr);

// Makes obj reference-counted with a count of 1; destroy (may be null) runs
// when ObDereferenceObject drops the count to zero.
void RegisterObject(void* obj, POBJECT_TYPE type, void (*destroy)(void* obj));
bool IsRegisteredObject(const void* obj);
// Current reference count, 0 for an unregistered object.
LONG_PTR ObjectReferenceCount(const void* obj);
POBJECT_TYPE ObjectType(const void* obj);

// A new object type with a printable name (for stand-in objects such as file
// objects or registry keys). Types live for the whole process.
POBJECT_TYPE DefineObjectType(const char* name);
const char* ObjectTypeName(POBJECT_TYPE type);

}  // namespace sim::kernel
