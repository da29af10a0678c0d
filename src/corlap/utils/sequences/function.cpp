// The function type behind every callable of the module.
#include "function.hpp"

#include "arguments.hpp"
#include "buffers.hpp"
#include "names.hpp"
#include "traceback.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>

namespace corlap {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* param_names[max_params];  // interned
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

// Every exception leaving a function gains an entry named after it.
void add_function_traceback(const FunctionDef& def) {
    char funcname[160];
    PyOS_snprintf(funcname, sizeof funcname, "corlap.utils.sequences.%s", def.qualname);
    add_traceback(funcname, def.file, 1);
}

// Type tests of the parameters, after all float conversions.
bool check_types(const FunctionDef& def, PyObject* const* bound) {
    for (int i = 0; i < def.n_params; ++i) {
        PyObject* arg = bound[i];
        if (arg == nullptr || arg == Py_None) {
            continue;
        }
        if (def.kinds[i] == Param::text && !PyUnicode_CheckExact(arg)) {
            raise_argument_type(def.params[i], "str", arg);
            return false;
        }
        if (def.kinds[i] == Param::array && !is_ndarray(arg)) {
            raise_argument_type(def.params[i], "numpy.ndarray", arg);
            return false;
        }
    }
    return true;
}

// The one place where C++ exceptions stop: whatever a body allocates, its
// failure reaches the caller as MemoryError.  The body's handles release
// what it held as the exception unwinds them.
PyObject* run_body(const FunctionDef& def, PyObject* const* bound, double amount) {
    try {
        return def.body(bound, amount);
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
}

PyObject* call_bound(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const FunctionDef& def = *f->def;
    PyObject* bound[max_params] = {nullptr, nullptr, nullptr};
    double amount = 1.0;
    PyObject* result = nullptr;
    if (bind_arguments(def, f->param_names, args, nargs, kwnames, bound)) {
        bool ok = true;
        for (int i = 0; i < def.n_params && ok; ++i) {
            if (def.kinds[i] == Param::real && bound[i] != nullptr) {
                ok = to_double(bound[i], &amount);
            }
        }
        if (ok && check_types(def, bound)) {
            result = run_body(def, bound, amount);
        }
    }
    if (result == nullptr) {
        add_function_traceback(def);
    }
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_bound(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Calls with a keyword dictionary (f(*a, **kw) paths that do not vectorcall).
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* f = as_function(self);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) {
        return call_bound(f, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    }
    ref kwnames(PyTuple_New(nkw));
    if (!kwnames) {
        return nullptr;
    }
    // Positional values followed by keyword values, borrowed from the
    // tuple and the dictionary, which outlive the call.
    PyObject* small[8];
    PyObject** stack = small;
    std::unique_ptr<PyObject*[]> large;
    if (nargs + nkw > 8) {
        large.reset(new (std::nothrow) PyObject*[nargs + nkw]);
        if (!large) {
            PyErr_NoMemory();
            add_function_traceback(*f->def);
            return nullptr;
        }
        stack = large.get();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        stack[i] = PyTuple_GET_ITEM(args, i);
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            add_function_traceback(*f->def);
            return nullptr;
        }
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k] = value;
        ++k;
    }
    return call_bound(f, stack, nargs, kwnames.get());
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    for (PyObject*& name : f->param_names) {
        Py_CLEAR(name);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}

int set_text(PyObject*& slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value == nullptr ? Py_None : value));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value == nullptr ? Py_None : value));
    return 0;
}

// __defaults__ is informative: the default of `amount` is fixed in the
// function whatever this attribute holds.
PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature reads __signature__ first.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    ref parameter_class(PyObject_GetAttrString(inspect.get(), "Parameter"));
    ref signature_class(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_class || !signature_class) {
        return nullptr;
    }
    ref kind(PyObject_GetAttrString(parameter_class.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) {
        return nullptr;
    }
    ref parameters(PyList_New(0));
    if (!parameters) {
        return nullptr;
    }
    for (int i = 0; i < f->def->n_params; ++i) {
        ref parameter;
        if (i < f->def->n_required) {
            parameter = call(parameter_class.get(), f->param_names[i], kind.get());
        } else {
            PyObject* argv[] = {nullptr, f->param_names[i], kind.get(), constants.float_1};
            ref kwnames(Py_BuildValue("(s)", "default"));
            if (!kwnames) {
                return nullptr;
            }
            parameter = ref(PyObject_Vectorcall(parameter_class.get(), argv + 1,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames.get()));
        }
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) {
            return nullptr;
        }
    }
    return call(signature_class.get(), parameters.get()).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "corlap.utils.sequences.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "Function of the compiled sequence module.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

}  // namespace

bool function_type_ready() { return PyType_Ready(&function_type) == 0; }

Body body_of(PyObject* function) {
    return Py_TYPE(function) == &function_type ? as_function(function)->def->body : nullptr;
}

ref make_function(const FunctionDef& def) {
    ref self(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &function_type)));
    if (!self) {
        return self;
    }
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    for (PyObject*& name : f->param_names) {
        name = nullptr;
    }
    f->name = f->qualname = f->module = f->doc = f->defaults = f->dict = f->weakrefs = nullptr;
    PyObject_GC_Track(self.get());
    for (int i = 0; i < def.n_params; ++i) {
        f->param_names[i] = PyUnicode_InternFromString(def.params[i]);
        if (f->param_names[i] == nullptr) {
            return ref();
        }
    }
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = PyUnicode_FromString(def.qualname);
    f->module = Py_NewRef(constants.module_name);
    f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->defaults = def.n_params != def.n_required ? PyTuple_Pack(1, constants.float_1)
                                                   : Py_NewRef(Py_None);
    if (!f->name || !f->qualname || !f->module || !f->doc || !f->defaults) {
        return ref();
    }
    return self;
}

}  // namespace corlap
