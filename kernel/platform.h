// First include of every kernel source: the Windows kernel, port class and
// kernel-streaming headers, in the order they need each other.
#pragma once
#include <ntddk.h>
#include <portcls.h>
