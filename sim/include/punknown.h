// Host-build stand-in for <punknown.h>: the kernel-mode IUnknown and the
// COM declaration macros that the port class headers use.
#pragma once
#include <wdm.h>

#ifndef _HRESULT_DEFINED
#define _HRESULT_DEFINED
typedef LONG HRESULT;
#endif

#ifndef interface
#define interface struct
#endif

#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) interface DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) interface DECLSPEC_NOVTABLE iface : public baseiface

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#undef INTERFACE
#define INTERFACE IUnknown
DECLARE_INTERFACE(IUnknown) {
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE;
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;
  STDMETHOD_(ULONG, Release)(THIS) PURE;
};
#undef INTERFACE

typedef IUnknown *PUNKNOWN;

// Boilerplate for interfaces derived from IUnknown.
#define DEFINE_ABSTRACT_UNKNOWN()                                                   \
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                              \
  STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT (*PFNCREATEINSTANCE)(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                     POOL_TYPE PoolType);
