// The Python module's native half, on the limited API of Python 3.8, so one
// build serves every Python 3 from 3.8 on. It takes any object with the
// buffer protocol: bytes as they are, anything else (bytearray, memoryview,
// a NumPy array) copied to bytes first, which the 3.8 limited API cannot
// borrow and which another thread could change while the lock is dropped.

#define Py_LIMITED_API 0x03080000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dhtfix.h"

namespace {

// The frame as bytes of its own, and where they lie: a new reference, or
// null with an error set.
PyObject* frame_bytes(PyObject* frame, char*& data, Py_ssize_t& size) {
    if (PyBytes_Check(frame)) Py_INCREF(frame);
    PyObject* const in = PyBytes_Check(frame) ? frame : PyBytes_FromObject(frame);
    if (in != nullptr && PyBytes_AsStringAndSize(in, &data, &size) != 0) {
        Py_DECREF(in);
        return nullptr;
    }
    return in;
}

const char* const verdicts[] = {"too_short", "not_jpeg", "damaged", "has_tables", "needs_none", "lacks_tables"};
const char* const fits[] = {"fits", "unfit", "ends_early"};

PyObject* raise_for(int status) {
    PyErr_SetString(status == DHTFIX_TOO_LARGE ? PyExc_OverflowError : PyExc_ValueError, dhtfix_status_text(status));
    return nullptr;
}

// repair(frame) -> bytes
PyObject* repair(PyObject*, PyObject* frame) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* const in = frame_bytes(frame, data, size);
    if (in == nullptr) return nullptr;
    // Most frames take one segment; a stream or two fields are repaired
    // again into the size the first try found.
    std::size_t room = static_cast<std::size_t>(size) + dhtfix_standard_segment_size();
    for (;;) {
        if (room > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            Py_DECREF(in);
            return raise_for(DHTFIX_TOO_LARGE);
        }
        PyObject* const out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
        if (out == nullptr) {
            Py_DECREF(in);
            return nullptr;
        }
        char* const target = PyBytes_AsString(out);
        std::size_t written = 0;
        int status;
        Py_BEGIN_ALLOW_THREADS
        status = dhtfix_repair(data, static_cast<std::size_t>(size), target, room, &written);
        Py_END_ALLOW_THREADS
        if (status == DHTFIX_OK && written == room) {
            Py_DECREF(in);
            return out;
        }
        Py_DECREF(out);
        if (status == DHTFIX_UNCHANGED) return in;  // bytes are immutable: the frame itself will do
        if (status != DHTFIX_BUFFER_TOO_SMALL) {
            Py_DECREF(in);
            return raise_for(status);
        }
        room = written;
    }
}

// inspect(frame) -> (verdict, tag_offset, images, ((offset, fit), ...), fitting, repaired_size)
PyObject* inspect(PyObject*, PyObject* frame) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* const in = frame_bytes(frame, data, size);
    if (in == nullptr) return nullptr;
    dhtfix_report report{};
    dhtfix_image few[16];
    dhtfix_image* images = few;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = dhtfix_inspect(data, static_cast<std::size_t>(size), &report, few, 16);
    Py_END_ALLOW_THREADS
    if (status == DHTFIX_OK && report.lacking > 16) {
        images = static_cast<dhtfix_image*>(PyMem_Malloc(report.lacking * sizeof *images));
        if (images == nullptr) {
            Py_DECREF(in);
            return PyErr_NoMemory();
        }
        const std::size_t capacity = report.lacking;
        Py_BEGIN_ALLOW_THREADS
        status = dhtfix_inspect(data, static_cast<std::size_t>(size), &report, images, capacity);
        Py_END_ALLOW_THREADS
    }
    Py_DECREF(in);
    PyObject* list = status == DHTFIX_OK ? PyTuple_New(static_cast<Py_ssize_t>(report.lacking)) : nullptr;
    for (std::size_t i = 0; list != nullptr && i < report.lacking; ++i) {
        PyObject* const image = Py_BuildValue("(ns)", static_cast<Py_ssize_t>(images[i].offset), fits[images[i].fit]);
        if (image == nullptr || PyTuple_SetItem(list, static_cast<Py_ssize_t>(i), image) != 0) {
            Py_CLEAR(list);
        }
    }
    if (images != few) PyMem_Free(images);
    if (status != DHTFIX_OK) return raise_for(status);
    if (list == nullptr) return nullptr;
    return Py_BuildValue("(snnNnn)", verdicts[report.verdict], static_cast<Py_ssize_t>(report.tag_offset),
                         static_cast<Py_ssize_t>(report.images), list, static_cast<Py_ssize_t>(report.fitting),
                         static_cast<Py_ssize_t>(report.repaired_size));
}

PyMethodDef methods[] = {
    {"repair", repair, METH_O, "repair(frame) -> bytes: the frame with the standard tables where they are lacking"},
    {"inspect", inspect, METH_O,
     "inspect(frame) -> (verdict, tag_offset, images, lacking, fitting, repaired_size)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "dhtfix._dhtfix", "The native half of dhtfix.", -1, methods, nullptr, nullptr, nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__dhtfix(void) {
    PyObject* const m = PyModule_Create(&module);
    if (m == nullptr) return nullptr;
    PyObject* const segment = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(dhtfix_standard_segment()),
                                                        static_cast<Py_ssize_t>(dhtfix_standard_segment_size()));
    // PyModule_AddObject takes the reference only when it succeeds.
    if (segment == nullptr || PyModule_AddObject(m, "STANDARD_SEGMENT", segment) != 0) {
        Py_XDECREF(segment);
        Py_DECREF(m);
        return nullptr;
    }
    if (PyModule_AddStringConstant(m, "VERSION", dhtfix_version()) != 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
