#include "budget.hpp"

#include "names.hpp"

namespace korvane {
namespace {

constexpr long long kGiB = 1LL << 30;

struct BudgetTier {
  long vram_below_gb;        // the tier applies below this much device memory...
  long long ram_below_bytes;  // ...or below this much RAM
  double ratio;
  long long ceiling;
};

constexpr BudgetTier kTiers[] = {
    {8, 16 * kGiB, 0.1, 2 * kGiB},
    {16, 32 * kGiB, 0.15, 8 * kGiB},
};
constexpr BudgetTier kTopTier = {0, 0, 0.2, 16 * kGiB};

// 1 when `value < bound`, 0 when not, -1 with an exception set.
int is_below(PyObject* value, long long bound) {
  OwnedRef limit = OwnedRef::steal(PyLong_FromLongLong(bound));
  return limit ? PyObject_RichCompareBool(value, limit.get(), Py_LT) : -1;
}

// The first tier whose device-memory or RAM test holds; the RAM test runs only when needed.
const BudgetTier* choose_tier(PyObject* vram_gb, PyObject* total_ram) {
  for (const BudgetTier& tier : kTiers) {
    int below = is_below(vram_gb, tier.vram_below_gb);
    if (below == 0) {
      below = is_below(total_ram, tier.ram_below_bytes);
    }
    if (below != 0) {
      return below > 0 ? &tier : nullptr;
    }
  }
  return &kTopTier;
}

// int(value * factor), the product taken in double precision as Python takes it.
OwnedRef truncated_share(PyObject* value, double factor) {
  OwnedRef multiplier = OwnedRef::steal(PyFloat_FromDouble(factor));
  if (!multiplier) {
    return {};
  }
  OwnedRef product = OwnedRef::steal(PyNumber_Multiply(value, multiplier.get()));
  return product ? OwnedRef::steal(PyNumber_Long(product.get())) : OwnedRef();
}

// What min(a, b, c) returns: the first of the smallest, by `<`.
OwnedRef smallest(OwnedRef candidates[], int count) {
  int best = 0;
  for (int i = 1; i < count; ++i) {
    const int less = PyObject_RichCompareBool(candidates[i].get(), candidates[best].get(), Py_LT);
    if (less < 0) {
      return {};
    }
    if (less > 0) {
      best = i;
    }
  }
  return std::move(candidates[best]);
}

// psutil.virtual_memory().<field>, with psutil looked up anew.
OwnedRef memory_field(const GlobalScope& scope, PyObject* field) {
  OwnedRef psutil = scope.load(names.psutil);
  if (!psutil) {
    return {};
  }
  OwnedRef memory = OwnedRef::steal(PyObject_CallMethodNoArgs(psutil.get(), names.virtual_memory));
  return memory ? OwnedRef::steal(PyObject_GetAttr(memory.get(), field)) : OwnedRef();
}

OwnedRef detect_vram_gb(const GlobalScope& scope, PyObject* const* /*args*/) {
  OwnedRef torch = scope.load(names.torch);
  OwnedRef cuda = torch ? OwnedRef::steal(PyObject_GetAttr(torch.get(), names.cuda)) : OwnedRef();
  OwnedRef available =
      cuda ? OwnedRef::steal(PyObject_CallMethodNoArgs(cuda.get(), names.is_available))
           : OwnedRef();
  if (!available) {
    return {};
  }
  const int has_cuda = PyObject_IsTrue(available.get());
  if (has_cuda <= 0) {
    return has_cuda < 0 ? OwnedRef() : OwnedRef::steal(PyFloat_FromDouble(0.0));
  }
  torch = scope.load(names.torch);
  cuda = torch ? OwnedRef::steal(PyObject_GetAttr(torch.get(), names.cuda)) : OwnedRef();
  OwnedRef device = OwnedRef::steal(PyLong_FromLong(0));
  if (!cuda || !device) {
    return {};
  }
  OwnedRef properties = OwnedRef::steal(
      PyObject_CallMethodOneArg(cuda.get(), names.get_device_properties, device.get()));
  OwnedRef total_memory =
      properties ? OwnedRef::steal(PyObject_GetAttr(properties.get(), names.total_memory))
                 : OwnedRef();
  return total_memory
             ? OwnedRef::steal(PyNumber_TrueDivide(total_memory.get(), names.bytes_per_gib))
             : OwnedRef();
}

OwnedRef compute_default_budget(const GlobalScope& scope, PyObject* const* /*args*/) {
  // Two separate snapshots, as two virtual_memory() calls give.
  OwnedRef total_ram = memory_field(scope, names.total);
  OwnedRef available = total_ram ? memory_field(scope, names.available) : OwnedRef();
  OwnedRef detect = available ? scope.load(names.detect_vram_gb) : OwnedRef();
  OwnedRef vram_gb = detect ? OwnedRef::steal(PyObject_CallNoArgs(detect.get())) : OwnedRef();
  if (!vram_gb) {
    return {};
  }
  const BudgetTier* tier = choose_tier(vram_gb.get(), total_ram.get());
  if (tier == nullptr) {
    return {};
  }
  // Each candidate is formed only once the one before it succeeded.
  OwnedRef candidates[3];
  candidates[0] = truncated_share(total_ram.get(), tier->ratio);
  candidates[1] = candidates[0] ? truncated_share(available.get(), 0.5) : OwnedRef();
  candidates[2] = candidates[1] ? OwnedRef::steal(PyLong_FromLongLong(tier->ceiling)) : OwnedRef();
  if (!candidates[2]) {
    return {};
  }
  return smallest(candidates, 3);
}

}  // namespace

const FunctionDef detect_vram_gb_def = {
    "_detect_vram_gb", "_detect_vram_gb", 0, {}, 0, {}, detect_vram_gb,
};

const FunctionDef compute_default_budget_def = {
    "_compute_default_budget",
    "PinnedMemoryPool._compute_default_budget",
    0,
    {},
    1,
    {{"return", "int"}},
    compute_default_budget,
};

}  // namespace korvane
