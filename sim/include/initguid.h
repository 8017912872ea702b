// Host-build stand-in for <initguid.h>. DEFINE_GUID already makes inline
// constants in the host build, so there is nothing to instantiate.
#pragma once
