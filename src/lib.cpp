// The module as the interpreter sees it: initialisation, the NavCalc class and
// its three entries (constructor, setup, compute).
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "access.hpp"
#include "binding.hpp"
#include "boundary/failure/failure.hpp"
#include "boundary/python/owned_ref.hpp"
#include "boundary/python/pending_error.hpp"
#include "boundary/python/trap.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "messages.hpp"
#include "model/vessel.hpp"
#include "navcalc.hpp"

namespace veltrum {
namespace {

// The interpreter that first initialised the module; only it may use it.
std::atomic<std::int64_t> g_owner{-1};
// The module once initialised; set once, never released.
PyObject* g_module = nullptr;  // guarded by the interpreter lock

constexpr char kClassDoc[] = "NavCalc(displacement, length, breadth, draught)\n--\n\n";
constexpr char kSetupDoc[] =
    "setup($self, speed_kts, laden)\n--\n\n"
    "动态设置：航速 + 装载状态\n会自动重新计算 fr / af 等依赖项";
constexpr char kComputeDoc[] =
    "compute($self, wind_beta, wind_scale, wave_height, wave_beta)\n--\n\n";

constexpr std::string_view kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

// --- instances -------------------------------------------------------------

Result<PyObject*> allocate_instance(PyTypeObject* type) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* instance = alloc(type, 0);
    if (instance == nullptr) {
        return take_pending();
    }
    return instance;
}

void navcalc_dealloc(PyObject* self) noexcept {
    trap_release([&] {
        // The record holds plain values: nothing to release but the memory and
        // the reference the allocator took on the class.
        PyTypeObject* type = Py_TYPE(self);
        freefunc free = type->tp_free;
        if (free == nullptr) {
            fail("PyBaseObject_Type should have tp_free", here());
        }
        free(self);
        Py_DECREF(type);
    });
}

// --- entries ---------------------------------------------------------------

// The conversions of each entry in full, in declaration order, for calls
// where some argument is not read in place. Re-reading one that was is the
// same: an in-place read has no effect but its value.
//
// The constructor's slots borrow from the argument tuple and the keyword
// dictionary. A caller in C (PyObject_Call) can pass a dictionary that the
// Python code a conversion runs can reach and empty, freeing the values still
// to be converted, so each is held until all are. The methods need no such
// care: their vectors hold references of their own (the caller's, or the
// interpreter's when it unpacked a dictionary).
[[gnu::noinline]] Status convert_particulars(PyObject* const* slots, double* particulars) {
    const OwnedRef held[4] = {OwnedRef::borrow(slots[0]), OwnedRef::borrow(slots[1]),
                              OwnedRef::borrow(slots[2]), OwnedRef::borrow(slots[3])};
    for (std::size_t i = 0; i < 4; ++i) {
        Result<double> value =
            convert_argument(to_double(held[i].get()), kConstructorParameters.names[i]);
        if (!value) {
            return value.take_error();
        }
        particulars[i] = value.value();
    }
    return kOk;
}

[[gnu::noinline]] Status convert_setup_arguments(PyObject* const* slots, double& speed_kts,
                                                 bool& laden) {
    Result<double> speed = convert_argument(to_double(slots[0]), "speed_kts");
    if (!speed) {
        return speed.take_error();
    }
    Result<bool> loading = convert_argument(to_bool(slots[1]), "laden");
    if (!loading) {
        return loading.take_error();
    }
    speed_kts = speed.value();
    laden = loading.value();
    return kOk;
}

[[gnu::noinline]] Status convert_compute_arguments(PyObject* const* slots, double& wind_beta,
                                                   std::int32_t& wind_scale, double& wave_height,
                                                   double& wave_beta) {
    Result<double> beta = convert_argument(to_double(slots[0]), "wind_beta");
    if (!beta) {
        return beta.take_error();
    }
    Result<std::int32_t> scale = convert_argument(to_int32(slots[1]), "wind_scale");
    if (!scale) {
        return scale.take_error();
    }
    Result<double> height = convert_argument(to_double(slots[2]), "wave_height");
    if (!height) {
        return height.take_error();
    }
    Result<double> direction = convert_argument(to_double(slots[3]), "wave_beta");
    if (!direction) {
        return direction.take_error();
    }
    wind_beta = beta.value();
    wind_scale = scale.value();
    wave_height = height.value();
    wave_beta = direction.value();
    return kOk;
}

Result<PyObject*> construct_body(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[4];
    if (Status bound = bind_tuple(kConstructorParameters, args, kwargs, slots); !bound) {
        return bound.take_error();
    }
    double particulars[4];
    if (!(read_double(slots[0], particulars[0]) && read_double(slots[1], particulars[1]) &&
          read_double(slots[2], particulars[2]) && read_double(slots[3], particulars[3])))
        [[unlikely]] {
        if (Status converted = convert_particulars(slots, particulars); !converted) {
            return converted.take_error();
        }
    }
    // The model checks the values before any object exists.
    const model::Vessel vessel =
        model::construct(particulars[0], particulars[1], particulars[2], particulars[3]);
    Result<PyObject*> instance = allocate_instance(type);
    if (instance) {
        auto* self = reinterpret_cast<NavCalcObject*>(instance.value());
        self->vessel = vessel;
        self->access = 0;
    }
    return instance;
}

Result<PyObject*> setup_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* buffer[2];
    PyObject* const* slots = nullptr;
    if (Status bound = bind_vector(kSetupParameters, args, nargs, kwnames, buffer, slots);
        !bound) {
        return bound.take_error();
    }
    ReceiverAccess<AccessMode::Exclusive> access;
    if (Status acquired = access.acquire(self); !acquired) {
        return acquired.take_error();
    }
    double speed_kts = 0.0;
    bool laden = false;
    if (!(read_double(slots[0], speed_kts) && read_bool(slots[1], laden))) [[unlikely]] {
        if (Status converted = convert_setup_arguments(slots, speed_kts, laden); !converted) {
            return converted.take_error();
        }
    }
    model::setup(access.vessel(), speed_kts, laden);
    // A new reference, as for any result: None is mortal before 3.12.
    return Py_NewRef(Py_None);
}

Result<PyObject*> compute_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* buffer[4];
    PyObject* const* slots = nullptr;
    if (Status bound = bind_vector(kComputeParameters, args, nargs, kwnames, buffer, slots);
        !bound) {
        return bound.take_error();
    }
    ReceiverAccess<AccessMode::Shared> access;
    if (Status acquired = access.acquire(self); !acquired) {
        return acquired.take_error();
    }
    double wind_beta = 0.0;
    std::int32_t wind_scale = 0;
    double wave_height = 0.0;
    double wave_beta = 0.0;
    if (!(read_double(slots[0], wind_beta) && read_int32(slots[1], wind_scale) &&
          read_double(slots[2], wave_height) && read_double(slots[3], wave_beta))) [[unlikely]] {
        if (Status converted = convert_compute_arguments(slots, wind_beta, wind_scale,
                                                         wave_height, wave_beta);
            !converted) {
            return converted.take_error();
        }
    }
    const double change =
        model::compute(access.vessel(), wind_beta, wind_scale, wave_height, wave_beta);
    PyObject* result = PyFloat_FromDouble(change);
    if (result == nullptr) {
        api_call_failed();
    }
    return result;
}

PyObject* navcalc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return trap_call([&] { return construct_body(type, args, kwargs); });
}

PyObject* setup_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return trap_call([&] { return setup_body(self, args, nargs, kwnames); });
}

PyObject* compute_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return trap_call([&] { return compute_body(self, args, nargs, kwnames); });
}

// --- the class -------------------------------------------------------------

// Fast-call functions go into the table through void (*)(void), as the
// interpreter's own cast macro does.
template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_methods[] = {
    {"setup", as_method(&setup_entry), METH_FASTCALL | METH_KEYWORDS, kSetupDoc},
    {"compute", as_method(&compute_entry), METH_FASTCALL | METH_KEYWORDS, kComputeDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&navcalc_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&navcalc_dealloc)},
    {0, nullptr},
};

// Not subclassable, not tracked by the garbage collector, attributes of the
// class settable from Python: the default flags and nothing else.
PyType_Spec g_spec{
    "builtins.NavCalc", static_cast<int>(sizeof(NavCalcObject)), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

Result<PyTypeObject*> create_class() {
    constexpr std::string_view doc(kClassDoc, sizeof kClassDoc - 1);
    if (doc.find('\0') != std::string_view::npos) {
        return PendingError::lazy(PyExc_ValueError, Text("class doc cannot contain nul bytes"));
    }
    PyObject* created = PyType_FromSpec(&g_spec);
    if (created == nullptr) {
        return take_pending();
    }
    // Creation can re-enter; the first class stored is the one kept.
    if (detail::navcalc_class != nullptr) {
        Py_DECREF(created);
    } else {
        detail::navcalc_class = reinterpret_cast<PyTypeObject*>(created);
    }
    return detail::navcalc_class;
}

// The class object, created on first use. A failure is reported as a
// RuntimeError caused by it.
Result<PyTypeObject*> navcalc_class() {
    if (detail::navcalc_class != nullptr) {
        return detail::navcalc_class;
    }
    Result<PyTypeObject*> created = create_class();
    if (created) {
        return created;
    }
    return caused_error(PyExc_RuntimeError, "An error occurred while initializing class NavCalc",
                        created.take_error().into_instance());
}

// --- the module ------------------------------------------------------------

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "veltrum", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Registers a value under a name: appended to __all__ and set as attribute.
Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PendingError error = take_pending();
        if (!error.matches(PyExc_AttributeError)) {
            return error;
        }
        all = OwnedRef::steal(PyList_New(0));
        if (!all) {
            api_call_failed();
        }
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return take_pending();
        }
    }
    if (!PyList_Check(all.get())) {
        return cannot_convert(Py_TYPE(all.get()), "PyList");
    }
    if (PyList_Append(all.get(), name) < 0) {
        Text message("could not append __name__ to __all__: ");
        message.append(describe_pending());
        fail(message, here());
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        return take_pending();
    }
    return kOk;
}

Status module_body(PyObject* module) {
    Result<PyTypeObject*> cls = navcalc_class();
    if (!cls) {
        return cls.take_error();
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromStringAndSize("NavCalc", 7));
    if (!name) {
        api_call_failed();
    }
    return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(cls.value()));
}

Result<PyObject*> init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return take_pending();
    }
    std::int64_t owner = -1;
    if (!g_owner.compare_exchange_strong(owner, id) && owner != id) {
        return PendingError::lazy(PyExc_ImportError, Text(kSubinterpreterMessage));
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    if (!module) {
        return take_pending();
    }
    if (Status body = module_body(module.get()); !body) {
        return body.take_error();
    }
    if (g_module == nullptr) {
        g_module = module.release();
    }
    return Py_NewRef(g_module);
}

}  // namespace

namespace detail {

PyTypeObject* create_type_for_receiver() {
    Result<PyTypeObject*> cls = veltrum::navcalc_class();
    if (!cls) {
        cls.take_error().restore();
        PyErr_PrintEx(0);
        fail("failed to create type object for NavCalc", here());
    }
    return cls.value();
}

}  // namespace detail
}  // namespace veltrum

PyMODINIT_FUNC PyInit_veltrum(void) {
    return veltrum::trap_call([] { return veltrum::init_module(); });
}
