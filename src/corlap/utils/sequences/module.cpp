// The module corlap.utils.sequences: definition, create and exec steps, and
// the namespace (classes, functions and constants) they build.  The classes'
// methods are declared in the tables beside their bodies (mono.cpp,
// dinuc.cpp, encoding.cpp).
#include "bodies.hpp"
#include "function.hpp"
#include "names.hpp"
#include "traceback.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL corlap_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdint>

namespace corlap {

Names names;
Constants constants;
ModuleState state;

void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

// builtins.<name>; NameError when the built-ins lack it.
static ref builtin(PyObject* name) {
    PyObject* found = nullptr;
    if (state.builtins != nullptr &&
        PyDict_GetItemRef(PyModule_GetDict(state.builtins), name, &found) < 0) {
        return ref();
    }
    if (found == nullptr) {
        raise_name_error(name);
    }
    return ref(found);
}

ref module_global(PyObject* name) {
    PyObject* found = nullptr;
    if (state.module != nullptr &&
        PyDict_GetItemRef(PyModule_GetDict(state.module), name, &found) < 0) {
        return ref();
    }
    return found != nullptr ? ref(found) : builtin(name);
}

namespace {

int64_t main_interpreter_id = -1;

// ---------------------------------------------------------------------------
// Static data.  A slot is made only while it is null, so that an import
// retried after a failed one makes what is missing and keeps (never leaks
// or remakes) what exists.

template <class Make>
bool make_once(PyObject*& slot, Make&& make) {
    if (slot == nullptr) {
        slot = make();
    }
    return slot != nullptr;
}

bool make_text(PyObject*& slot, const char* text) {
    return make_once(slot, [text] { return PyUnicode_InternFromString(text); });
}

bool make_names_and_constants() {
#define CORLAP_MAKE_NAME(n) \
    if (!make_text(names.n, #n)) return false;
    CORLAP_NAMES(CORLAP_MAKE_NAME)
#undef CORLAP_MAKE_NAME
    Constants& c = constants;
    for (long i = 0; i < 6; ++i) {
        if (!make_once(c.ints[i], [i] { return PyLong_FromLong(i); })) return false;
    }
    const char* const gc_letters[4] = {"G", "g", "C", "c"};
    for (int k = 0; k < 4; ++k) {
        if (!make_text(c.gc_letters[k], gc_letters[k])) return false;
    }
    return make_once(c.int_16, [] { return PyLong_FromLong(16); }) &&
           make_once(c.float_1, [] { return PyFloat_FromDouble(1.0); }) &&
           make_once(c.full_slice, [] { return PySlice_New(nullptr, nullptr, nullptr); }) &&
           make_once(c.rows_0_to_3,
                     [&c] {
                         ref up_to_4(PySlice_New(nullptr, c.ints[4], nullptr));
                         return up_to_4 ? PyTuple_Pack(2, up_to_4.get(), c.full_slice)
                                        : nullptr;
                     }) &&
           make_once(c.axis_0_2, [&c] { return PyTuple_Pack(2, c.ints[0], c.ints[2]); }) &&
           make_text(c.module_name, "corlap.utils.sequences") &&
           make_text(c.word_pwm, "PWM") && make_text(c.word_dwm, "DWM") &&
           make_text(c.unknown_score_type, "Unkown score type {0}");
}

bool find_builtins() {
    return make_once(state.builtin_staticmethod,
                     [] { return builtin(names.staticmethod).release(); }) &&
           make_once(state.builtin_range, [] { return builtin(names.range).release(); }) &&
           // Looked up for their presence only: start-up needs every
           // built-in the module was written against.
           builtin(names.sum) && builtin(names.ImportError);
}

// Every slot of the static data, checked once at the end of the exec step.
bool static_data_complete() {
    bool complete = true;
    auto check = [&complete](const void* slot) { complete = complete && slot != nullptr; };
#define CORLAP_CHECK_NAME(n) check(names.n);
    CORLAP_NAMES(CORLAP_CHECK_NAME)
#undef CORLAP_CHECK_NAME
    const Constants& c = constants;
    for (PyObject* slot : c.ints) check(slot);
    for (PyObject* slot : c.gc_letters) check(slot);
    for (PyObject* slot : {c.int_16, c.float_1, c.full_slice, c.rows_0_to_3, c.axis_0_2,
                           c.module_name, c.word_pwm, c.word_dwm, c.unknown_score_type,
                           state.module, state.builtins, state.builtin_staticmethod,
                           state.builtin_range}) {
        check(slot);
    }
    check(state.ndarray);
    check(state.float64_scalar);
    if (!complete) {
        PyErr_SetString(PyExc_SystemError,
                        "corlap.utils.sequences: start-up left a static slot unmade");
    }
    return complete;
}

// ---------------------------------------------------------------------------
// The namespace.

// The class statement of one of the module's classes.  Their only possible
// base is the module-level SequenceMatrix, which start-up has just bound to
// a class made by `type`: so the metaclass is the base's type (`type` when
// there is no base), and its __prepare__ gives the namespace.
ref build_class(const ClassDef& def) {
    ref class_name(PyUnicode_FromString(def.name));
    if (!class_name) return ref();
    PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    ref bases;
    if (def.derives_from_sequence_matrix) {
        ref base = module_global(names.SequenceMatrix);
        if (!base) return ref();
        metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
        bases = ref(PyTuple_Pack(1, base.get()));
    } else {
        bases = ref(PyTuple_New(0));
    }
    if (!bases) return ref();
    ref namespace_ = call_method(metaclass, names.__prepare__, class_name.get(), bases.get());
    if (!namespace_) return ref();
    // namespace[name] = value; a null name or value failed to be made.
    auto store = [&namespace_](PyObject* name, PyObject* value) {
        return name != nullptr && value != nullptr &&
               PyObject_SetItem(namespace_.get(), name, value) == 0;
    };
    if (!store(names.__module__, constants.module_name) ||
        !store(names.__qualname__, class_name.get()) ||
        (def.doc != nullptr &&
         !store(names.__doc__, ref(PyUnicode_FromString(def.doc)).get()))) {
        return ref();
    }
    for (const FunctionDef& method : def.static_methods) {
        ref function = make_function(method);
        ref wrapped = function ? call(state.builtin_staticmethod, function.get()) : ref();
        if (!store(ref(PyUnicode_InternFromString(method.name)).get(), wrapped.get())) {
            return ref();
        }
    }
    for (const FunctionDef& method : def.methods) {
        if (!store(ref(PyUnicode_InternFromString(method.name)).get(),
                   make_function(method).get())) {
            return ref();
        }
    }
    return call(metaclass, class_name.get(), bases.get(), namespace_.get());
}

// NumPy's array interface, with ImportError for any failure to obtain it;
// then the NumPy types the array tests and the pair tables recognise.
bool import_numpy_interface() {
    if (_import_array() < 0) {
        if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* raised = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
            if (raised != nullptr) {
                PyObject* now = PyErr_GetRaisedException();
                PyException_SetCause(now, raised);
                PyErr_SetRaisedException(now);
            }
        }
        return false;
    }
    state.ndarray = &PyArray_Type;
    state.float64_scalar = &PyDoubleArrType_Type;
    return true;
}

// from corlap.utils.fasta import open_fasta
ref import_open_fasta(PyObject* module, PyObject* modules) {
    ref fromlist(PyList_New(1));
    if (!fromlist) return ref();
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.open_fasta));
    ref fasta_module(PyImport_ImportModuleLevel("corlap.utils.fasta", PyModule_GetDict(module),
                                                nullptr, fromlist.get(), 0));
    ref open_fasta;
    if (!fasta_module || !get_optional_attr(fasta_module.get(), names.open_fasta, open_fasta)) {
        return ref();
    }
    if (open_fasta) return open_fasta;
    PyObject* submodule = nullptr;
    if (PyMapping_GetOptionalItemString(modules, "corlap.utils.fasta.open_fasta", &submodule) <
        0) {
        return ref();
    }
    if (submodule == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", names.open_fasta);
    }
    return ref(submodule);
}

// {0: 1, 1: 0, 2: 3, 3: 2}, in that order.
ref make_complement() {
    ref complement(PyDict_New());
    if (!complement) return ref();
    const int pairs[4][2] = {{0, 1}, {1, 0}, {2, 3}, {3, 2}};
    for (const auto& pair : pairs) {
        if (PyDict_SetItem(complement.get(), constants.ints[pair[0]],
                           constants.ints[pair[1]]) < 0) {
            return ref();
        }
    }
    return complement;
}

bool exec_steps(PyObject* module) {
    if (!make_names_and_constants() || !import_numpy_interface()) return false;
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.modules");
        return false;
    }
    const int registered = PyMapping_HasKeyWithError(modules, constants.module_name);
    if (registered < 0 ||
        (registered == 0 && PyObject_SetItem(modules, constants.module_name, module) < 0)) {
        return false;
    }
    if (!find_builtins() ||
        !set_attr(module, names.np, ref(PyImport_ImportModule("numpy")).get()) ||
        !set_attr(module, names.sys, ref(PyImport_ImportModule("sys")).get()) ||
        !set_attr(module, names.open_fasta, import_open_fasta(module, modules).get()) ||
        !set_attr(module, names.complement, make_complement().get()) ||
        !function_type_ready()) {
        return false;
    }
    // The classes and functions in the order of binding; a class reads the
    // names bound before it (NucleotideMatrix reads SequenceMatrix).
    const struct {
        PyObject* name;
        const ClassDef* class_def;
        const FunctionDef* function_def;
    } bindings[] = {
        {names.SequenceMatrix, &bodies::sequence_matrix_class, nullptr},
        {names.NucleotideMatrix, &bodies::nucleotide_matrix_class, nullptr},
        {names.DiNucleotideMatrix, &bodies::dinucleotide_matrix_class, nullptr},
        {names.nuc_to_num, nullptr, &bodies::nuc_to_num_def},
        {names.GenomicSequence, &bodies::genomic_sequence_class, nullptr},
        {names.get_gc_content, nullptr, &bodies::get_gc_content_def},
    };
    for (const auto& binding : bindings) {
        ref value = binding.class_def != nullptr ? build_class(*binding.class_def)
                                                 : make_function(*binding.function_def);
        if (!set_attr(module, binding.name, value.get())) return false;
    }
    return set_attr(module, names.__test__, ref(PyDict_New()).get()) && static_data_complete();
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sequences' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (!make_once(state.builtins, [] { return PyImport_ImportModule("builtins"); }) ||
        PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0 ||
        !exec_steps(module)) {
        add_traceback("init corlap.utils.sequences", "src/corlap/utils/sequences/module.cpp",
                      1);
        Py_CLEAR(state.module);
        return -1;
    }
    return 0;
}

// module.<to> = found.<from>, where `found` is the import system's record of
// the module being created; skipped when it has no such attribute (and, with
// `skip_none`, when it holds None).
bool copy_from_found(PyObject* found, const char* from, PyObject* module, const char* to,
                     bool skip_none) {
    ref value;
    if (!get_optional_attr(found, from, value)) return false;
    if (!value || (skip_none && value.get() == Py_None)) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* module_create(PyObject* found, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
    } else if (current != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    ref name(PyObject_GetAttrString(found, "name"));
    if (!name) return nullptr;
    ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_from_found(found, "loader", module.get(), "__loader__", false) ||
        !copy_from_found(found, "origin", module.get(), "__file__", false) ||
        !copy_from_found(found, "parent", module.get(), "__package__", false) ||
        !copy_from_found(found, "submodule_search_locations", module.get(), "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sequences",
    "Sequence utilities for counting and scoring with PWMs and DWMs.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corlap

PyMODINIT_FUNC PyInit_sequences(void) { return PyModuleDef_Init(&corlap::module_def); }
