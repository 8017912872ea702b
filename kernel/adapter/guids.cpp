// Instantiates the GUIDs the driver uses that no import library provides
// (the headers only declare them). Include nothing else here: a header seen
// before <initguid.h> would keep its GUIDs declared only.
#include "platform.h"

#include <initguid.h>

#include <usbbusif.h>
