// Module entry, population and the character-set functions.
#include <cstring>
#include <atomic>

#include "messages.hpp"
#include "python/batch_inputs.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// `one_of`, from the combinators family; absent until it is built.
[[gnu::weak]] extern PyMethodDef kOneOfMethod;

PyObject* allocate_instance(PyTypeObject* type) {
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!alloc) alloc = PyType_GenericAlloc;
    PyObject* o = alloc(type, 0);
    if (!o) return ensure_error();
    return o;
}

PyObject* reject_construction(PyTypeObject* type, PyObject*, PyObject*) {
    OwnedRef name = QGX_GET_ATTR(reinterpret_cast<PyObject*>(type), "__name__");
    OwnedRef text = name ? OwnedRef::steal(PyObject_Str(name.get())) : OwnedRef();
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, msg::kNoConstructor, msg::kUnknownTypeName);
        return nullptr;
    }
    OwnedRef m = OwnedRef::steal(PyUnicode_FromFormat(msg::kNoConstructorObject, text.get()));
    if (m) PyErr_SetObject(PyExc_TypeError, m.get());
    return nullptr;
}

PyObject* count_result(uint64_t n) {
    PyObject* r = PyLong_FromUnsignedLongLong(n);
    if (!r) [[unlikely]] throw_no_memory();
    return r;
}

namespace {
// Whether every byte is below 0x80, a word at a time.
inline bool all_ascii(const char* p, Pos n) {
    uint64_t seen = 0;
    Pos i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        seen |= w;
    }
    for (; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
    return (seen & 0x8080808080808080ull) == 0;
}
}  // namespace

PyObject* new_str(const char* data, Pos n) {
    // ASCII text (most tokens) is copied into a str of its length at once;
    // one byte and none go to the decoder, which gives the interpreter's
    // shared strs for them.
    if (n >= 2 && all_ascii(data, n)) [[likely]] {
        PyObject* s = PyUnicode_New(n, 127);
        if (!s) [[unlikely]] throw_no_memory();
        std::memcpy(PyUnicode_DATA(s), data, n);
        return s;
    }
    // A token cut inside a character (a kind that hands one over) must not end
    // the process: its partial characters are dropped. The decoder drops them
    // without making an exception object, so making a str never starts a
    // collection (batches read their inputs in place around it).
    PyObject* s = PyUnicode_DecodeUTF8(data, n, "ignore");
    if (s) [[likely]] return s;
    throw_no_memory();
}

bool check_result_size(uint64_t n) {
    if (n <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) return true;
    PyErr_NoMemory();
    return false;
}

PyObject* new_sized_str(const char* data, uint64_t n) {
    if (!check_result_size(n)) return nullptr;
    PyObject* s = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), "ignore");
    return s ? s : ensure_error();
}

PyObject* new_sized_list(uint64_t n) {
    if (!check_result_size(n)) return nullptr;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    return l ? l : ensure_error();
}

PyObject* new_list(Py_ssize_t n) {
    PyObject* l = PyList_New(n);
    if (!l) [[unlikely]] throw_no_memory();
    return l;
}

void PendingRefs::grow_to(size_t n) {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) throw std::bad_alloc();
    void* p = items_ == inline_ ? PyMem_Malloc(n * sizeof(PyObject*)) : PyMem_Realloc(items_, n * sizeof(PyObject*));
    if (!p) throw std::bad_alloc();
    if (items_ == inline_) std::memcpy(p, inline_, n_ * sizeof(PyObject*));
    items_ = static_cast<PyObject**>(p);
    cap_ = n;
}

void PendingRefs::grow_or_release(PyObject* o) {
    try {
        grow_to(cap_ * 2);
    } catch (...) {
        Py_DECREF(o);
        throw;
    }
}

PyObject* PendingRefs::into_hidden_list() {
    PyObject* list = new_hidden_list(static_cast<Py_ssize_t>(n_));
    if (n_) std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, items_, n_ * sizeof(PyObject*));
    n_ = 0;
    return list;
}

PyObject* PendingRefs::into_list() {
    const auto n = static_cast<Py_ssize_t>(n_);
    if (items_ == inline_) {
        PyObject* list = new_list(n);
        if (n_) std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, items_, n_ * sizeof(PyObject*));
        n_ = 0;
        return list;
    }
    // The buffer is a list's own kind of storage (PyMem, a pointer per slot),
    // so it becomes the list's, without a copy; room the list will not use
    // is given back first.
    if (n_ < cap_ / 2)
        if (void* fit = PyMem_Realloc(items_, (n_ ? n_ : 1) * sizeof(PyObject*))) {
            items_ = static_cast<PyObject**>(fit);
            cap_ = n_;
        }
    PyObject* list = new_list(0);
    adopt_buffer(list, items_, n);
    items_ = inline_;
    n_ = 0;
    cap_ = kInline;
    return list;
}

namespace {

constexpr char kNums[] = "0123456789";
constexpr char kHexnums[] = "0123456789abcdefABCDEF";
constexpr char kAlphas[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char kAlphanums[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr char kAlphasUpper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr char kAlphasLower[] = "abcdefghijklmnopqrstuvwxyz";
constexpr char kPrintables[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";

template <const char* S>
PyObject* charset(PyObject*, PyObject*) {
    return PyUnicode_FromString(S);
}

PyMethodDef kCharsetFunctions[] = {
    {"alphas", &charset<kAlphas>, METH_NOARGS, "alphas()\n--\n\n"},
    {"alphanums", &charset<kAlphanums>, METH_NOARGS, "alphanums()\n--\n\n"},
    {"nums", &charset<kNums>, METH_NOARGS, "nums()\n--\n\n"},
    {"printables", &charset<kPrintables>, METH_NOARGS, "printables()\n--\n\n"},
    {"hexnums", &charset<kHexnums>, METH_NOARGS, "hexnums()\n--\n\n"},
    {"alphas_upper", &charset<kAlphasUpper>, METH_NOARGS, "alphas_upper()\n--\n\n"},
    {"alphas_lower", &charset<kAlphasLower>, METH_NOARGS, "alphas_lower()\n--\n\n"},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "quillgramx", "quillgramx module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> main_interpreter_id{-1};
PyObject* module_cell = nullptr;  // filled once, kept for the life of the process

bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        set_type_mismatch_error(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function_to_module(PyObject* module, PyObject* function) {
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        set_type_mismatch_error(name.get(), "PyString");
        return false;
    }
    return add_to_module(module, name.get(), function);
}

OwnedRef new_module_function(PyObject* module, PyMethodDef* def) {
    OwnedRef modname = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!modname) return {};
    return OwnedRef::steal(PyCMethod_New(def, module, modname.get(), nullptr));
}

bool populate_module(PyObject* module) {
    for (int i = 0; i < kClassCount; ++i) {
        ClassId id = static_cast<ClassId>(i);
        const ClassDef* def = class_def(id);
        if (!def) continue;  // a family this build does not hold
        PyTypeObject* type = get_class_type_object(id);
        if (!type) return false;
        OwnedRef name = OwnedRef::steal(PyUnicode_FromString(def->name));
        if (!name || !add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type))) return false;
    }
    for (PyMethodDef& def : kCharsetFunctions) {
        OwnedRef f = new_module_function(module, &def);
        if (!f || !add_function_to_module(module, f.get())) return false;
    }
    if (&kOneOfMethod) {
        OwnedRef f = new_module_function(module, &kOneOfMethod);
        if (!f || !add_function_to_module(module, f.get())) return false;
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("__version__"));
    OwnedRef version = OwnedRef::steal(PyUnicode_FromString("0.2.0"));
    return name && version && add_to_module(module, name.get(), version.get());
}

PyObject* init_module() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return ensure_error();
    int64_t expected = -1;
    if (!main_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, msg::kSubinterpreters);
        return nullptr;
    }
    if (module_cell) {
        Py_INCREF(module_cell);
        return module_cell;
    }
    PyObject* module = PyModule_Create2(&kModuleDef, 1013);
    if (!module) return ensure_error();
    if (!populate_module(module)) {
        Py_DECREF(module);
        return ensure_error();
    }
    if (module_cell) {
        Py_DECREF(module);  // a nested import stored one meanwhile
    } else {
        module_cell = module;
    }
    Py_INCREF(module_cell);
    return module_cell;
}

}  // namespace
}  // namespace qgx

PyMODINIT_FUNC PyInit_quillgramx() { return qgx::init_module(); }
