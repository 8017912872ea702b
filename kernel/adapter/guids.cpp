// Instantiates the GUIDs the driver uses that no import library provides
// (the headers only declare them). <initguid.h> comes before every header
// whose GUIDs are instantiated here: a header seen before it would keep its
// GUIDs declared only.
#include <ntddk.h>

#include <initguid.h>

#include <portcls.h>
#include <usbbusif.h>

#include "adapter/adapter_interface.h"
#include "adapter/miniport_link.h"
