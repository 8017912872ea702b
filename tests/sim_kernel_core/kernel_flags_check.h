// Functions compiled with the product kernel's language rules
// (-fno-exceptions -fno-rtti) against the stand-in's Windows headers.
#pragma once

int KernelFlagsListRoundTrip();
void KernelFlagsPagedFunction();
