// The generalized ufunc speed_change_from_weather: its loops and declaration,
// which the module hands to NumPy.
#pragma once

#include <Python.h>

#include <numpy/npy_common.h>

namespace veltrum::ufunc {

using Loop = void (*)(char** args, const npy_intp* dimensions, const npy_intp* steps,
                      void* data);

struct GeneralizedUfunc {
    Loop* loops;
    void* const* data;
    const char* types;
    int loop_count;
    int inputs;
    int outputs;
    const char* name;
    const char* doc;
    const char* signature;
};

// Lives as long as the process, as NumPy needs it to.
const GeneralizedUfunc& speed_change_from_weather();

}  // namespace veltrum::ufunc
