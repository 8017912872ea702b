#include <wdm.h>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {
thread_local KIRQL tIrql = PASSIVE_LEVEL;
}

void SetCurrentIrql(KIRQL irql) { tIrql = irql; }

const char* IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "device IRQL";
  }
}

bool CheckIrqlAtMost(const char* call, KIRQL max) {
  if (tIrql <= max) return true;
  verifier::Fail(call, "called at IRQL %u (%s); the maximum is %u (%s)", tIrql, IrqlName(tIrql), max, IrqlName(max));
  return false;
}

bool CheckIrqlAtLeast(const char* call, KIRQL min) {
  if (tIrql >= min) return true;
  verifier::Fail(call, "called at IRQL %u (%s); it requires at least %u (%s)", tIrql, IrqlName(tIrql), min,
                 IrqlName(min));
  return false;
}

}  // namespace sim::kernel

using sim::kernel::tIrql;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return tIrql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = tIrql;
  if (NewIrql < old) {
    sim::verifier::Fail("KeRaiseIrql", "new IRQL %u is below the current IRQL %u", NewIrql, old);
    return old;
  }
  tIrql = NewIrql;
  return old;
}

void KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > tIrql) {
    sim::verifier::Fail("KeLowerIrql", "new IRQL %u is above the current IRQL %u", NewIrql, tIrql);
    return;
  }
  tIrql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

void sim_PagedCodeCheck(const char* function) {
  if (tIrql > APC_LEVEL)
    sim::verifier::Fail("PAGED_CODE", "pageable function %s runs at IRQL %u", function, tIrql);
}

}  // extern "C"
