// The floor of a call from Python into native code: a class of NavCalc's shape
// (a heap type, 104-byte instances, the same three entries and calling
// conventions) whose entries do only what any correct binding must, and no
// model work. The benchmark measures veltrum against it. Never installed.
//
// Each entry binds positional and keyword arguments to slots (a keyword name
// by identity with the interned parameter name, by value when that misses),
// checks the receiver and its access flag, reads each double with
// PyFloat_AS_DOUBLE for an exact float and PyFloat_AsDouble otherwise, the
// integer with PyLong_AsLong, the boolean by identity, and returns the new
// instance, None or a float made from the arguments with one addition.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FLOOR_HAVE_CALLGRIND 1
#endif
#endif

namespace {

struct FloorObject {
    PyObject_HEAD
    double record[9];
    bool laden;
    std::size_t access;
};

static_assert(sizeof(void*) != 8 || sizeof(FloorObject) == 104);

constexpr std::size_t kExclusive = ~std::size_t{0};

PyTypeObject* g_class = nullptr;

// Interned parameter names, in declaration order.
PyObject* g_ctor_names[4];
PyObject* g_setup_names[2];
PyObject* g_compute_names[4];

// Index of the parameter a keyword names, or -1.
int find_name(PyObject* const* names, int count, PyObject* key) {
    for (int i = 0; i < count; ++i) {
        if (names[i] == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (PyUnicode_Compare(names[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

PyObject* binding_error(const char* what) {
    PyErr_SetString(PyExc_TypeError, what);
    return nullptr;
}

// Binds a fast-call argument vector; false with an exception set on failure.
bool bind_vector(PyObject* const* names, int count, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
    if (nargs > count) {
        binding_error("too many positional arguments");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            const int i = find_name(names, count, PyTuple_GET_ITEM(kwnames, k));
            if (i < 0 || slots[i] != nullptr) {
                binding_error("bad keyword argument");
                return false;
            }
            slots[i] = args[nargs + k];
        }
    }
    if (nargs < count) {
        for (int i = 0; i < count; ++i) {
            if (slots[i] == nullptr) {
                binding_error("missing argument");
                return false;
            }
        }
    }
    return true;
}

inline bool to_double(PyObject* object, double* out) {
    if (PyFloat_CheckExact(object)) {
        *out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    *out = PyFloat_AsDouble(object);
    return !(*out == -1.0 && PyErr_Occurred() != nullptr);
}

inline bool check_receiver(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type != g_class && PyType_IsSubtype(type, g_class) == 0) {
        PyErr_SetString(PyExc_TypeError, "wrong receiver");
        return false;
    }
    return true;
}

PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 4) {
        return binding_error("too many positional arguments");
    }
    PyObject* slots[4];
    for (Py_ssize_t i = 0; i < 4; ++i) {
        slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const int i = find_name(g_ctor_names, 4, key);
            if (i < 0 || slots[i] != nullptr) {
                return binding_error("bad keyword argument");
            }
            slots[i] = value;
        }
    }
    double values[4];
    for (int i = 0; i < 4; ++i) {
        if (slots[i] == nullptr) {
            return binding_error("missing argument");
        }
        if (!to_double(slots[i], &values[i])) {
            return nullptr;
        }
    }
    PyObject* instance = type->tp_alloc(type, 0);
    if (instance == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<FloorObject*>(instance);
    for (int i = 0; i < 4; ++i) {
        self->record[i] = values[i];
    }
    self->laden = true;
    self->access = 0;
    return instance;
}

void floor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* floor_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_vector(g_setup_names, 2, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    if (!check_receiver(self)) {
        return nullptr;
    }
    auto* object = reinterpret_cast<FloorObject*>(self);
    if (object->access != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    object->access = kExclusive;
    double speed = 0.0;
    if (!to_double(slots[0], &speed)) {
        object->access = 0;
        return nullptr;
    }
    if (slots[1] != Py_True && slots[1] != Py_False) {
        object->access = 0;
        PyErr_SetString(PyExc_TypeError, "not a bool");
        return nullptr;
    }
    object->record[5] = speed;
    object->laden = slots[1] == Py_True;
    object->access = 0;
    Py_RETURN_NONE;
}

PyObject* floor_compute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* slots[4];
    if (!bind_vector(g_compute_names, 4, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    if (!check_receiver(self)) {
        return nullptr;
    }
    auto* object = reinterpret_cast<FloorObject*>(self);
    if (object->access == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return nullptr;
    }
    ++object->access;
    double wind_beta = 0.0;
    double wave_height = 0.0;
    double wave_beta = 0.0;
    long wind_scale = 0;
    bool ok = to_double(slots[0], &wind_beta);
    if (ok) {
        wind_scale = PyLong_AsLong(slots[1]);
        ok = !(wind_scale == -1 && PyErr_Occurred() != nullptr);
        if (ok && (wind_scale < INT32_MIN || wind_scale > INT32_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
            ok = false;
        }
    }
    ok = ok && to_double(slots[2], &wave_height);
    ok = ok && to_double(slots[3], &wave_beta);
    --object->access;
    if (!ok) {
        return nullptr;
    }
    return PyFloat_FromDouble(wind_beta + wave_height);
}

// Callgrind markers for the benchmark: zero the counters, and dump the
// counts gathered since then under a label. No-ops outside callgrind.
PyObject* callgrind_zero(PyObject*, PyObject*) {
#ifdef FLOOR_HAVE_CALLGRIND
    CALLGRIND_ZERO_STATS;
#endif
    Py_RETURN_NONE;
}

PyObject* callgrind_dump(PyObject*, PyObject* label) {
    const char* text = PyUnicode_AsUTF8(label);
    if (text == nullptr) {
        return nullptr;
    }
#ifdef FLOOR_HAVE_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(text);
#endif
    Py_RETURN_NONE;
}

PyObject* running_on_valgrind(PyObject*, PyObject*) {
#ifdef FLOOR_HAVE_CALLGRIND
    return PyBool_FromLong(RUNNING_ON_VALGRIND ? 1 : 0);
#else
    Py_RETURN_FALSE;
#endif
}

template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_methods[] = {
    {"setup", as_method(&floor_setup), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"compute", as_method(&floor_compute), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&floor_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&floor_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec{
    "veltrum_floor.NavCalc", static_cast<int>(sizeof(FloorObject)), 0, Py_TPFLAGS_DEFAULT,
    g_slots,
};

PyMethodDef g_module_methods[] = {
    {"callgrind_zero", callgrind_zero, METH_NOARGS, nullptr},
    {"callgrind_dump", callgrind_dump, METH_O, nullptr},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "veltrum_floor", nullptr, -1, g_module_methods,
    nullptr,               nullptr,         nullptr, nullptr,
};

bool intern_names(PyObject** out, std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* name : names) {
        out[i] = PyUnicode_InternFromString(name);
        if (out[i] == nullptr) {
            return false;
        }
        ++i;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_veltrum_floor(void) {
    if (g_class == nullptr) {
        if (!intern_names(g_ctor_names, {"displacement", "length", "breadth", "draught"}) ||
            !intern_names(g_setup_names, {"speed_kts", "laden"}) ||
            !intern_names(g_compute_names,
                          {"wind_beta", "wind_scale", "wave_height", "wave_beta"})) {
            return nullptr;
        }
        g_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
        if (g_class == nullptr) {
            return nullptr;
        }
    }
    PyObject* module = PyModule_Create(&g_module_def);
    if (module == nullptr) {
        return nullptr;
    }
    if (PyModule_AddObjectRef(module, "NavCalc", reinterpret_cast<PyObject*>(g_class)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
