// The TROX_TRACE environment variable: when set, ETW providers are enabled
// up to its level (a number; 5 when it is not one) and DbgPrint prints.
#pragma once

namespace sim::kernel {

// 0 when tracing is off, otherwise the highest level printed.
int TraceLevel();

}  // namespace sim::kernel
