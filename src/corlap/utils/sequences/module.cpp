// The module corlap.utils.sequences: definition, create and exec steps, and
// the namespace (classes, functions and constants) they build.
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

ref module_global(PyObject* name) {
    PyObject* found = nullptr;
    if (state.module != nullptr) {
        PyObject* dict = PyModule_GetDict(state.module);
        if (PyDict_GetItemRef(dict, name, &found) < 0) {
            return ref();
        }
    }
    if (found == nullptr && state.builtins != nullptr) {
        if (PyDict_GetItemRef(PyModule_GetDict(state.builtins), name, &found) < 0) {
            return ref();
        }
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return ref(found);
}

namespace {

constexpr const char* mono_file = "src/corlap/utils/sequences/mono.cpp";
constexpr const char* dinuc_file = "src/corlap/utils/sequences/dinuc.cpp";
constexpr const char* encoding_file = "src/corlap/utils/sequences/encoding.cpp";

using P = Param;

// The sixteen functions, in the order the exec step binds them.
// `create` first: it is the one static method.
const FunctionDef sequence_matrix_defs[] = {
    {"create", "SequenceMatrix.create", nullptr, mono_file, 2, 2,
     {"length", "stype"}, {P::object, P::object}, bodies::sequence_matrix_create},
    {"add_counts", "SequenceMatrix.add_counts", nullptr, mono_file, 2, 2,
     {"self", "obj"}, {P::object, P::object}, bodies::sequence_matrix_add_counts},
};

const FunctionDef nucleotide_defs[] = {
    {"__init__", "NucleotideMatrix.__init__", nullptr, mono_file, 2, 2,
     {"self", "length"}, {P::object, P::object}, bodies::nucleotide_init},
    {"add_sequence", "NucleotideMatrix.add_sequence",
     " Adds sequence to SequenceMatrix the number of times specified in amount ", mono_file,
     3, 2, {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     bodies::nucleotide_add_sequence},
    {"add_background", "NucleotideMatrix.add_background",
     " Adds sequence to count of background nucleotides ", mono_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     bodies::nucleotide_add_background},
    {"prepare_mat", "NucleotideMatrix.prepare_mat",
     " Prepare matrices for scoring with score_sequence ", mono_file, 1, 1, {"self"},
     {P::object}, bodies::nucleotide_prepare_mat},
    {"score_sequence", "NucleotideMatrix.score_sequence",
     " Score nucleotide sequence against motif ", mono_file, 2, 2, {"self", "sequence"},
     {P::object, P::array}, bodies::nucleotide_score_sequence},
};

const FunctionDef dinucleotide_defs[] = {
    {"__init__", "DiNucleotideMatrix.__init__", nullptr, dinuc_file, 2, 2,
     {"self", "length"}, {P::object, P::object}, bodies::dinucleotide_init},
    {"add_sequence", "DiNucleotideMatrix.add_sequence", nullptr, dinuc_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     bodies::dinucleotide_add_sequence},
    {"add_background", "DiNucleotideMatrix.add_background",
     " Adds sequence to count of background nucleotides ", dinuc_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     bodies::dinucleotide_add_background},
    {"prepare_mat", "DiNucleotideMatrix.prepare_mat", nullptr, dinuc_file, 1, 1, {"self"},
     {P::object}, bodies::dinucleotide_prepare_mat},
    {"score_sequence", "DiNucleotideMatrix.score_sequence", nullptr, dinuc_file, 2, 2,
     {"self", "sequence"}, {P::object, P::array}, bodies::dinucleotide_score_sequence},
};

const FunctionDef nuc_to_num_def{
    "nuc_to_num", "nuc_to_num", " Convert DNA sequence string to internal number format ",
    encoding_file, 1, 1, {"sequence"}, {P::text}, bodies::nuc_to_num};

const FunctionDef genomic_defs[] = {
    {"__init__", "GenomicSequence.__init__", nullptr, encoding_file, 2, 2,
     {"self", "region"}, {P::object, P::object}, bodies::genomic_init},
    {"from_fasta", "GenomicSequence.from_fasta", " Fill sequence from fasta object ",
     encoding_file, 2, 2, {"self", "fasta_obj"}, {P::object, P::object},
     bodies::genomic_from_fasta},
};

const FunctionDef gc_content_def{
    "get_gc_content", "get_gc_content", " Get GC content from regions in fasta ",
    encoding_file, 2, 2, {"regions", "fasta"}, {P::object, P::object},
    bodies::get_gc_content};

int64_t main_interpreter_id = -1;

bool make_names_and_constants() {
#define CORLAP_MAKE_NAME(n)                                  \
    if (names.n == nullptr) {                               \
        names.n = PyUnicode_InternFromString(#n);           \
        if (names.n == nullptr) return false;               \
    }
    CORLAP_NAMES(CORLAP_MAKE_NAME)
#undef CORLAP_MAKE_NAME
    if (constants.full_slice != nullptr) {
        return true;
    }
    for (long i = 0; i < 6; ++i) {
        constants.ints[i] = PyLong_FromLong(i);
        if (constants.ints[i] == nullptr) return false;
    }
    constants.int_16 = PyLong_FromLong(16);
    constants.float_1 = PyFloat_FromDouble(1.0);
    constants.axis_0_2 = PyTuple_Pack(2, constants.ints[0], constants.ints[2]);
    constants.full_slice = PySlice_New(nullptr, nullptr, nullptr);
    ref up_to_4(PySlice_New(nullptr, constants.ints[4], nullptr));
    if (!constants.int_16 || !constants.float_1 || !constants.axis_0_2 ||
        !constants.full_slice || !up_to_4) {
        return false;
    }
    constants.rows_0_to_3 = PyTuple_Pack(2, up_to_4.get(), constants.full_slice);
    return constants.rows_0_to_3 != nullptr;
}

bool set_attr(PyObject* module, PyObject* name, PyObject* value) {
    return value != nullptr && PyObject_SetAttr(module, name, value) == 0;
}

// A class statement `class name(bases): ...` with an ordinary namespace,
// built as the interpreter does: resolve __mro_entries__, pick the most
// derived metaclass, ask it for the namespace, fill it, call the metaclass.
// The first `n_static` methods are stored wrapped in the built-in
// staticmethod.
ref build_class(const char* name, PyObject* bases_as_written, const char* doc,
                const FunctionDef* methods, int n_methods, int n_static = 0) {
    ref class_name(PyUnicode_FromString(name));
    if (!class_name) return ref();

    // Bases: instances of classes stay; others may offer __mro_entries__.
    ref bases = ref::borrow(bases_as_written);
    const Py_ssize_t n_bases = PyTuple_GET_SIZE(bases_as_written);
    bool changed = false;
    ref resolved(PyList_New(0));
    if (!resolved) return ref();
    for (Py_ssize_t i = 0; i < n_bases; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases_as_written, i);
        if (PyType_Check(base)) {
            if (PyList_Append(resolved.get(), base) < 0) return ref();
            continue;
        }
        PyObject* entries_method = nullptr;
        if (PyObject_GetOptionalAttr(base, names.__mro_entries__, &entries_method) < 0) {
            return ref();
        }
        if (entries_method == nullptr) {
            if (PyList_Append(resolved.get(), base) < 0) return ref();
            continue;
        }
        ref method(entries_method);
        ref entries = call(method.get(), bases_as_written);
        if (!entries) return ref();
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return ref();
        }
        changed = true;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
            if (PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) {
                return ref();
            }
        }
    }
    if (changed) {
        bases = ref(PyList_AsTuple(resolved.get()));
        if (!bases) return ref();
    }

    // The most derived metaclass of the bases.
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
        PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases.get(), i));
        if (PyType_IsSubtype(winner, meta)) continue;
        if (PyType_IsSubtype(meta, winner)) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return ref();
    }
    PyObject* metaclass = reinterpret_cast<PyObject*>(winner);

    ref namespace_;
    PyObject* prepare = nullptr;
    if (PyObject_GetOptionalAttr(metaclass, names.__prepare__, &prepare) < 0) return ref();
    if (prepare != nullptr) {
        ref prepare_ref(prepare);
        namespace_ = call(prepare, class_name.get(), bases.get());
    } else {
        namespace_ = ref(PyDict_New());
    }
    if (!namespace_) return ref();

    ref module_name(PyUnicode_FromString("corlap.utils.sequences"));
    if (!module_name ||
        PyObject_SetItem(namespace_.get(), names.__module__, module_name.get()) < 0 ||
        PyObject_SetItem(namespace_.get(), names.__qualname__, class_name.get()) < 0) {
        return ref();
    }
    if (doc != nullptr) {
        ref doc_text(PyUnicode_FromString(doc));
        if (!doc_text || PyObject_SetItem(namespace_.get(), names.__doc__, doc_text.get()) < 0) {
            return ref();
        }
    }
    if (changed &&
        PyObject_SetItem(namespace_.get(), names.__orig_bases__, bases_as_written) < 0) {
        return ref();
    }
    for (int i = 0; i < n_methods; ++i) {
        ref function = make_function(methods[i]);
        if (function && i < n_static) {
            function = call(state.builtin_staticmethod, function.get());
        }
        ref method_name(function ? PyUnicode_InternFromString(methods[i].name) : nullptr);
        if (!method_name ||
            PyObject_SetItem(namespace_.get(), method_name.get(), function.get()) < 0) {
            return ref();
        }
    }
    return call(metaclass, class_name.get(), bases.get(), namespace_.get());
}

// A class with `object` as its only base.
ref build_base_class(const char* name, const char* doc, const FunctionDef* methods,
                     int n_methods, int n_static) {
    ref no_bases(PyTuple_New(0));
    if (!no_bases) return ref();
    return build_class(name, no_bases.get(), doc, methods, n_methods, n_static);
}

// A subclass of the module-level SequenceMatrix, read from the namespace now.
ref build_model_class(PyObject* module, const char* name, const char* doc,
                      const FunctionDef* methods) {
    PyObject* base = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), names.SequenceMatrix, &base) < 0) {
        return ref();
    }
    if (base == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.SequenceMatrix);
        return ref();
    }
    ref base_ref(base);
    ref bases(PyTuple_Pack(1, base));
    if (!bases) return ref();
    return build_class(name, bases.get(), doc, methods, 5);
}

bool lookup_builtin(const char* name, PyObject** out) {
    PyObject* found = PyDict_GetItemString(PyModule_GetDict(state.builtins), name);
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return false;
    }
    *out = Py_NewRef(found);
    return true;
}

bool exec_steps(PyObject* module) {
    if (!make_names_and_constants()) return false;
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
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.modules");
        return false;
    }
    ref full_name(PyUnicode_FromString("corlap.utils.sequences"));
    if (!full_name) return false;
    const int registered = PyMapping_HasKeyWithError(modules, full_name.get());
    if (registered < 0 ||
        (registered == 0 && PyObject_SetItem(modules, full_name.get(), module) < 0)) {
        return false;
    }
    if (!lookup_builtin("staticmethod", &state.builtin_staticmethod) ||
        !lookup_builtin("range", &state.builtin_range) ||
        !lookup_builtin("sum", &state.builtin_sum) ||
        !lookup_builtin("ImportError", &state.builtin_import_error)) {
        return false;
    }
    state.ndarray = &PyArray_Type;

    ref numpy(PyImport_ImportModule("numpy"));
    if (!set_attr(module, names.np, numpy.get())) return false;
    ref sys(PyImport_ImportModule("sys"));
    if (!set_attr(module, names.sys, sys.get())) return false;

    ref fromlist(PyList_New(1));
    if (!fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.open_fasta));
    ref fasta_module(PyImport_ImportModuleLevel("corlap.utils.fasta",
                                                PyModule_GetDict(module), nullptr,
                                                fromlist.get(), 0));
    if (!fasta_module) return false;
    PyObject* open_fasta = nullptr;
    if (PyObject_GetOptionalAttr(fasta_module.get(), names.open_fasta, &open_fasta) < 0) {
        return false;
    }
    if (open_fasta == nullptr) {
        PyObject* submodule = nullptr;
        if (PyMapping_GetOptionalItemString(modules, "corlap.utils.fasta.open_fasta", &submodule) < 0) {
            return false;
        }
        if (submodule == nullptr) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", names.open_fasta);
            return false;
        }
        open_fasta = submodule;
    }
    ref open_fasta_ref(open_fasta);
    if (!set_attr(module, names.open_fasta, open_fasta)) return false;

    ref complement(PyDict_New());
    if (!complement) return false;
    const int pairs[4][2] = {{0, 1}, {1, 0}, {2, 3}, {3, 2}};
    for (const auto& pair : pairs) {
        if (PyDict_SetItem(complement.get(), constants.ints[pair[0]],
                           constants.ints[pair[1]]) < 0) {
            return false;
        }
    }
    if (!set_attr(module, names.complement, complement.get())) return false;

    if (!function_type_ready()) return false;
    ref sequence_matrix =
        build_base_class("SequenceMatrix", " Class-builder ", sequence_matrix_defs, 2, 1);
    if (!set_attr(module, names.SequenceMatrix, sequence_matrix.get())) return false;
    if (!set_attr(module, names.NucleotideMatrix,
                  build_model_class(module, "NucleotideMatrix", nullptr, nucleotide_defs)
                      .get())) {
        return false;
    }
    if (!set_attr(module, names.DiNucleotideMatrix,
                  build_model_class(module, "DiNucleotideMatrix", " Dinucleotide matrix ",
                                    dinucleotide_defs)
                      .get())) {
        return false;
    }
    if (!set_attr(module, names.nuc_to_num, make_function(nuc_to_num_def).get())) return false;
    ref genomic_sequence = build_base_class(
        "GenomicSequence", " Used in trelvo for fast scoring of PWM/DWM ", genomic_defs, 2, 0);
    if (!set_attr(module, names.GenomicSequence, genomic_sequence.get())) return false;
    if (!set_attr(module, names.get_gc_content, make_function(gc_content_def).get())) {
        return false;
    }
    ref test_dict(PyDict_New());
    return set_attr(module, names.__test__, test_dict.get());
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
    if (state.builtins == nullptr) {
        state.builtins = PyImport_ImportModule("builtins");
    }
    if (state.builtins == nullptr || PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0 ||
        !exec_steps(module)) {
        add_traceback("init corlap.utils.sequences", "src/corlap/utils/sequences/module.cpp",
                      1);
        Py_CLEAR(state.module);
        return -1;
    }
    return 0;
}

bool copy_from_module_def(PyObject* module_def, const char* from, PyObject* module, const char* to,
                    bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(module_def, from, &value) < 0) return false;
    if (value == nullptr) return true;
    ref held(value);
    if (skip_none && value == Py_None) return true;
    return PyObject_SetAttrString(module, to, value) == 0;
}

PyObject* module_create(PyObject* module_def, PyModuleDef*) {
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
    ref name(PyObject_GetAttrString(module_def, "name"));
    if (!name) return nullptr;
    ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_from_module_def(module_def, "loader", module.get(), "__loader__", false) ||
        !copy_from_module_def(module_def, "origin", module.get(), "__file__", false) ||
        !copy_from_module_def(module_def, "parent", module.get(), "__package__", false) ||
        !copy_from_module_def(module_def, "submodule_search_locations", module.get(), "__path__", true)) {
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
