// <ksmedia.h> of mingw-w64 plus what it lacks: the Windows base types it
// assumes, the generic-text character type in kernel mode (it is defined by
// the user-mode headers only) and the WaveRT hardware description records
// that <portcls.h> uses.
#pragma once
#include <windef.h>

#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
#ifdef UNICODE
typedef WCHAR TCHAR, *PTCHAR;
#else
typedef char TCHAR, *PTCHAR;
#endif
#endif

#include_next <ksmedia.h>

#ifndef KSRTAUDIO_HWLATENCY_DEFINED
#define KSRTAUDIO_HWLATENCY_DEFINED
// Delays of the audio hardware, in bytes and 100-ns units.
typedef struct {
  ULONG FifoSize;
  ULONG ChipsetDelay;
  ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

// A hardware position or clock register mapped for the client.
typedef struct {
  PVOID Register;
  ULONG Width;
  ULONGLONG Numerator;
  ULONGLONG Denominator;
  ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;
#endif
