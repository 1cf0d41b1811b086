/*
 * badbuffer: a test-only extension module with one type, Exporter, a buffer
 * exporter that ignores the consumer's request flags and hands out exactly the
 * layout it was made with: any format (or none), shape (or none), strides (or
 * none), suboffsets, read-only flag, and a data pointer anywhere inside its
 * own zeroed memory.  NumPy never gives a C-contiguous consumer such a buffer;
 * this lets the tests reach the layout refusals for real.
 *
 *     e = badbuffer.Exporter(48, format="f", itemsize=4, shape=(4, 3),
 *                            strides=(12, 4), offset=0, readonly=False)
 *
 * It counts its exports and releases and remembers the flags of the last
 * request.  With error=<exception instance> every request raises it instead;
 * with silent=True every request fails without setting any exception; with
 * null=True the data pointer handed out is NULL.
 *
 * SilentInt() is a number whose __int__ fails without setting an exception.
 * Built by tests/natives.py.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#define MAXDIM 8

typedef struct {
    PyObject_HEAD char* mem; /* nbytes zeroed bytes (at least one allocated) */
    Py_ssize_t nbytes;
    Py_ssize_t offset; /* data pointer = mem + offset */
    Py_ssize_t len;    /* Py_buffer.len */
    Py_ssize_t itemsize;
    int ndim;
    int readonly;
    int silent;   /* fail every request without an exception */
    int null;     /* hand out NULL as the data pointer */
    char* format; /* NULL: no format */
    int has_shape, has_strides, has_suboffsets;
    Py_ssize_t shape[MAXDIM], strides[MAXDIM], suboffsets[MAXDIM];
    PyObject* error;    /* raised by every request when set */
    Py_ssize_t exports; /* live */
    Py_ssize_t total_exports;
    Py_ssize_t releases;
    int last_flags;
} Exporter;

static int read_dims(PyObject* seq, Py_ssize_t* out, int* ndim, const char* what) {
    PyObject* fast = PySequence_Fast(seq, what);
    if (!fast) {
        return -1;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    if (n > MAXDIM || (*ndim >= 0 && n != *ndim)) {
        PyErr_Format(PyExc_ValueError, "%s: %zd entries where %d are needed", what, n, *ndim);
        Py_DECREF(fast);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(fast, i));
        if (out[i] == -1 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return -1;
        }
    }
    *ndim = (int)n;
    Py_DECREF(fast);
    return 0;
}

static PyObject* exporter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"nbytes", "format", "itemsize", "shape", "strides", "suboffsets", "ndim",
                             "offset", "len",    "readonly", "error", "silent",  "null",       NULL};
    Py_ssize_t nbytes, itemsize = 1, offset = 0, len = -1;
    PyObject *format = Py_None, *shape = Py_None, *strides = Py_None, *suboffsets = Py_None;
    PyObject* error = Py_None;
    int ndim = -1, readonly = 0, silent = 0, null = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "n|$OnOOOinnpOpp", kwlist, &nbytes, &format, &itemsize, &shape,
                                     &strides, &suboffsets, &ndim, &offset, &len, &readonly, &error, &silent, &null)) {
        return NULL;
    }
    if (nbytes < 0 || offset < 0 || offset > nbytes) {
        PyErr_SetString(PyExc_ValueError, "need 0 <= offset <= nbytes");
        return NULL;
    }
    Exporter* self = (Exporter*)type->tp_alloc(type, 0);
    if (!self) {
        return NULL;
    }
    self->mem = PyMem_RawCalloc((size_t)(nbytes > 0 ? nbytes : 1), 1);
    if (!self->mem) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->nbytes = nbytes;
    self->offset = offset;
    self->itemsize = itemsize;
    self->readonly = readonly;
    self->silent = silent;
    self->null = null;
    if (format != Py_None) {
        const char* text = PyUnicode_AsUTF8(format);
        if (!text || !(self->format = PyMem_RawMalloc(strlen(text) + 1))) {
            Py_DECREF(self);
            return text ? PyErr_NoMemory() : NULL;
        }
        strcpy(self->format, text);
    }
    int known = ndim;
    if (shape != Py_None) {
        if (read_dims(shape, self->shape, &known, "shape") < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->has_shape = 1;
    }
    if (strides != Py_None) {
        if (read_dims(strides, self->strides, &known, "strides") < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->has_strides = 1;
    }
    if (suboffsets != Py_None) {
        if (read_dims(suboffsets, self->suboffsets, &known, "suboffsets") < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->has_suboffsets = 1;
    }
    self->ndim = known < 0 ? 1 : known;
    if (len < 0) {
        /* Default: what the shape describes, else the whole memory past the offset. */
        len = nbytes - offset;
        if (self->has_shape) {
            len = itemsize;
            for (int i = 0; i < self->ndim; i++) {
                len *= self->shape[i];
            }
        }
    }
    self->len = len;
    if (error != Py_None) {
        if (!PyExceptionInstance_Check(error)) {
            Py_DECREF(self);
            PyErr_SetString(PyExc_TypeError, "error must be an exception instance");
            return NULL;
        }
        self->error = Py_NewRef(error);
    }
    return (PyObject*)self;
}

static void exporter_dealloc(Exporter* self) {
    PyMem_RawFree(self->mem);
    PyMem_RawFree(self->format);
    Py_XDECREF(self->error);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static int exporter_getbuffer(Exporter* self, Py_buffer* view, int flags) {
    self->last_flags = flags;
    if (self->error) {
        PyErr_SetObject((PyObject*)Py_TYPE(self->error), self->error);
        view->obj = NULL;
        return -1;
    }
    if (self->silent) {
        view->obj = NULL;
        return -1;
    }
    view->buf = self->null ? NULL : self->mem + self->offset;
    view->obj = Py_NewRef(self);
    view->len = self->len;
    view->itemsize = self->itemsize;
    view->readonly = self->readonly;
    view->ndim = self->ndim;
    view->format = self->format;
    view->shape = self->has_shape ? self->shape : NULL;
    view->strides = self->has_strides ? self->strides : NULL;
    view->suboffsets = self->has_suboffsets ? self->suboffsets : NULL;
    view->internal = NULL;
    self->exports++;
    self->total_exports++;
    return 0;
}

static void exporter_releasebuffer(Exporter* self, Py_buffer* view) {
    (void)view;
    self->exports--;
    self->releases++;
}

static PyObject* exporter_read(Exporter* self, PyObject* Py_UNUSED(ignored)) {
    return PyBytes_FromStringAndSize(self->mem, self->nbytes);
}

static PyObject* exporter_write(Exporter* self, PyObject* args) {
    Py_buffer data;
    Py_ssize_t at = 0;
    if (!PyArg_ParseTuple(args, "y*|n", &data, &at)) {
        return NULL;
    }
    if (at < 0 || data.len > self->nbytes - at) {
        PyBuffer_Release(&data);
        PyErr_SetString(PyExc_ValueError, "write outside the memory");
        return NULL;
    }
    memcpy(self->mem + at, data.buf, (size_t)data.len);
    PyBuffer_Release(&data);
    Py_RETURN_NONE;
}

static PyObject* get_address(Exporter* self, void* Py_UNUSED(closure)) {
    return PyLong_FromVoidPtr(self->mem + self->offset);
}

static PyObject* get_counts(Exporter* self, void* closure) {
    switch ((int)(Py_intptr_t)closure) {
    case 0: return PyLong_FromSsize_t(self->exports);
    case 1: return PyLong_FromSsize_t(self->total_exports);
    case 2: return PyLong_FromSsize_t(self->releases);
    default: return PyLong_FromLong(self->last_flags);
    }
}

static PyMethodDef exporter_methods[] = {
    {"read", (PyCFunction)exporter_read, METH_NOARGS, "All nbytes of the memory (from its start, not the offset)."},
    {"write", (PyCFunction)exporter_write, METH_VARARGS, "write(data, at=0): copy bytes into the memory."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef exporter_getset[] = {
    {"address", (getter)get_address, NULL, "the data pointer handed out", NULL},
    {"exports", (getter)get_counts, NULL, "exports not yet released", (void*)0},
    {"total_exports", (getter)get_counts, NULL, "exports ever made", (void*)1},
    {"releases", (getter)get_counts, NULL, "releases ever made", (void*)2},
    {"last_flags", (getter)get_counts, NULL, "flags of the last request", (void*)3},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyBufferProcs exporter_as_buffer = {
    (getbufferproc)exporter_getbuffer,
    (releasebufferproc)exporter_releasebuffer,
};

static PyTypeObject ExporterType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "badbuffer.Exporter",
    .tp_basicsize = sizeof(Exporter),
    .tp_dealloc = (destructor)exporter_dealloc,
    .tp_as_buffer = &exporter_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Buffer exporter that ignores the request flags.",
    .tp_methods = exporter_methods,
    .tp_getset = exporter_getset,
    .tp_new = exporter_new,
};

static PyObject* silent_int(PyObject* Py_UNUSED(self)) { return NULL; }

static PyNumberMethods silent_int_as_number = {.nb_int = silent_int};

static PyTypeObject SilentIntType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "badbuffer.SilentInt",
    .tp_basicsize = sizeof(PyObject),
    .tp_as_number = &silent_int_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A number whose __int__ fails without setting an exception.",
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef badbuffer_module = {
    PyModuleDef_HEAD_INIT, "badbuffer", "Test-only buffer exporter.", -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_badbuffer(void) {
    if (PyType_Ready(&ExporterType) < 0 || PyType_Ready(&SilentIntType) < 0) {
        return NULL;
    }
    PyObject* m = PyModule_Create(&badbuffer_module);
    if (m && (PyModule_AddObjectRef(m, "Exporter", (PyObject*)&ExporterType) < 0 ||
              PyModule_AddObjectRef(m, "SilentInt", (PyObject*)&SilentIntType) < 0)) {
        Py_DECREF(m);
        return NULL;
    }
#ifdef Py_GIL_DISABLED
    /* Otherwise loading it turns the GIL on for the rest of the test session. The
     * tests use each exporter from one thread at a time. */
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#endif
    return m;
}
