/* Floors: the least work each benchmarked job needs, on the interpreter's own API.
 *
 * Each floor does only the reads its job cannot skip and one copy of a text
 * of the finished size (the text is given, made once before timing, so the
 * floor never builds it). run.py compiles this file with the interpreter's
 * own compiler flags and times each floor beside the module's function.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

/* Read lengths land here, so the compiler cannot drop the reads. */
static volatile Py_ssize_t sink;

static PyObject *s_role, *s_content, *s_tool_calls, *s_function, *s_arguments, *s_assistant,
    *s_user, *s_unknown, *s_created_at, *s_complete, *s_system, *s_keywords, *s_2048, *s_newline;
/* The eight keys a record is rendered from, in their order (a record's
 * own order, before its created_at). */
static const char *const section_names[] = {"goals", "progress", "current_state", "key_decisions",
                                            "key_facts", "blockers", "next_steps", "summary"};
static PyObject *section_keys[8];
/* json.loads and time.time, held from import on: the floors look nothing up. */
static PyObject *json_loads, *time_time;

/* role == name, as the module compares: identity, then characters unless both are interned. */
static int same_text(PyObject *a, PyObject *b) {
    if (a == b) return 1;
    if (!PyUnicode_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ);
    if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return 0;
    return PyUnicode_Compare(a, b) == 0;
}

/* One new str holding the characters of `text`: a single memcpy. */
static PyObject *copy_text(PyObject *text) {
    if (!PyUnicode_CheckExact(text)) {
        PyErr_SetString(PyExc_TypeError, "the finished text must be a str");
        return NULL;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    PyObject *copy = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text));
    if (copy == NULL) return NULL;
    memcpy(PyUnicode_DATA(copy), PyUnicode_DATA(text), (size_t)(length * PyUnicode_KIND(text)));
    return copy;
}

static int check_args(const char *name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return -1;
}

/* d[key] of an exact dict, or NULL (set error) when absent or not a dict. */
static PyObject *lookup(PyObject *d, PyObject *key) {
    if (!PyDict_CheckExact(d)) {
        PyErr_SetString(PyExc_TypeError, "every message must be an exact dict");
        return NULL;
    }
    PyObject *value = PyDict_GetItemWithError(d, key);
    if (value == NULL && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

/* `role` and `content` of every message, `tool_calls` of every assistant one
 * (absent is fine there). */
static int chat_lookups(PyObject *messages) {
    if (!PyList_CheckExact(messages)) {
        PyErr_SetString(PyExc_TypeError, "messages must be a list");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        PyObject *msg = PyList_GET_ITEM(messages, i);
        PyObject *role = lookup(msg, s_role);
        if (role == NULL || lookup(msg, s_content) == NULL) return -1;
        int assistant = same_text(role, s_assistant);
        if (assistant < 0) return -1;
        if (assistant && PyDict_GetItemWithError(msg, s_tool_calls) == NULL && PyErr_Occurred()) return -1;
    }
    return 0;
}

/* chat(messages, transcript): the lookups, then one copy of the transcript. */
static PyObject *chat(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("chat", nargs, 2) < 0 || chat_lookups(args[0]) < 0) return NULL;
    return copy_text(args[1]);
}

/* render(record, text): each key's value read, each item of a list value
 * touched for its length, then one copy of the finished text. */
static PyObject *render(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("render", nargs, 2) < 0) return NULL;
    PyObject *record = args[0];
    if (!PyDict_CheckExact(record)) {
        PyErr_SetString(PyExc_TypeError, "the record must be a dict");
        return NULL;
    }
    Py_ssize_t total = 0;
    for (size_t k = 0; k < sizeof section_keys / sizeof section_keys[0]; ++k) {
        PyObject *value = PyDict_GetItemWithError(record, section_keys[k]);
        if (value == NULL && PyErr_Occurred()) return NULL;
        if (value == NULL || !PyList_CheckExact(value)) continue;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            PyObject *item = PyList_GET_ITEM(value, i);
            if (PyUnicode_Check(item)) total += PyUnicode_GET_LENGTH(item);
        }
    }
    sink = total;
    return copy_text(args[1]);
}

static PyObject *loads(PyObject *text) { return PyObject_CallOneArg(json_loads, text); }

/* parse(body): json.loads of the object alone, no fence to find. */
static PyObject *parse(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("parse", nargs, 1) < 0) return NULL;
    return loads(args[0]);
}

/* agent(messages): json.loads of every tool call's arguments and one join of
 * the contents, as the module's reading of an agent chunk cannot do less. */
static PyObject *agent(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("agent", nargs, 1) < 0) return NULL;
    PyObject *messages = args[0];
    if (!PyList_CheckExact(messages)) {
        PyErr_SetString(PyExc_TypeError, "messages must be a list");
        return NULL;
    }
    PyObject *entries = PyList_New(0);
    if (entries == NULL) return NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        PyObject *msg = PyList_GET_ITEM(messages, i);
        PyObject *calls = PyDict_GetItemWithError(msg, s_tool_calls);
        if (calls == NULL && PyErr_Occurred()) goto fail;
        if (calls != NULL && PyList_CheckExact(calls)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(calls); ++j) {
                PyObject *function = lookup(PyList_GET_ITEM(calls, j), s_function);
                PyObject *arguments = function != NULL ? lookup(function, s_arguments) : NULL;
                if (arguments == NULL) goto fail;
                PyObject *decoded = loads(arguments);
                if (decoded == NULL) goto fail;
                Py_DECREF(decoded);
            }
        }
        PyObject *content = lookup(msg, s_content);
        if (content == NULL || PyList_Append(entries, content) < 0) goto fail;
    }
    PyObject *text = PyUnicode_Join(s_newline, entries);
    Py_DECREF(entries);
    return text;
fail:
    Py_DECREF(entries);
    return NULL;
}

/* fallback(messages): `role` of every message, `content` of every user
 * message, and the record: nine keys, two counted texts, time.time(). */
static PyObject *fallback(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("fallback", nargs, 1) < 0) return NULL;
    PyObject *messages = args[0];
    if (!PyList_CheckExact(messages)) {
        PyErr_SetString(PyExc_TypeError, "messages must be a list");
        return NULL;
    }
    PyObject *request = NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        PyObject *msg = PyList_GET_ITEM(messages, i);
        PyObject *role = lookup(msg, s_role);
        if (role == NULL) return NULL;
        int user = same_text(role, s_user);
        if (user < 0) return NULL;
        if (!user) continue;
        PyObject *content = lookup(msg, s_content);
        if (content == NULL) return NULL;
        if (request == NULL && PyUnicode_Check(content) && PyUnicode_GET_LENGTH(content) > 0) request = content;
    }
    Py_ssize_t count = PyList_GET_SIZE(messages);
    /* The record's values in the order of its keys: goals, progress, the
     * state, four empty lists, the narrative; then created_at. */
    PyObject *values[8] = {PyList_New(0), PyList_New(0),
                           PyUnicode_FromFormat("Conversation had %zd messages before summarization", count),
                           PyList_New(0), PyList_New(0), PyList_New(0), PyList_New(0),
                           PyUnicode_FromFormat("Conversation with %zd messages. Primary request: %U", count,
                                                request != NULL ? request : s_unknown)};
    PyObject *record = _PyDict_NewPresized(9);
    PyObject *now = PyObject_CallNoArgs(time_time);
    int failed = record == NULL || now == NULL;
    for (size_t k = 0; k < 8; ++k) failed = failed || values[k] == NULL;
    if (!failed && request != NULL) failed = PyList_Append(values[0], request) < 0;
    for (size_t k = 0; !failed && k < 8; ++k) failed = PyDict_SetItem(record, section_keys[k], values[k]) < 0;
    if (!failed) failed = PyDict_SetItem(record, s_created_at, now) < 0;
    for (size_t k = 0; k < 8; ++k) Py_XDECREF(values[k]);
    Py_XDECREF(now);
    if (failed) Py_CLEAR(record);
    return record;
}

/* The value an awaitable finishes with, when it finishes on its first send. */
static PyObject *run_once(PyObject *awaitable) {
    PyObject *iterator = awaitable;
    Py_INCREF(iterator);
    if (!PyCoro_CheckExact(awaitable)) {
        PyAsyncMethods *async = Py_TYPE(awaitable)->tp_as_async;
        Py_DECREF(iterator);
        if (async == NULL || async->am_await == NULL) {
            PyErr_SetString(PyExc_TypeError, "not awaitable");
            return NULL;
        }
        iterator = async->am_await(awaitable);
        if (iterator == NULL) return NULL;
    }
    PyObject *result = NULL;
    PySendResult sent = PyIter_Send(iterator, Py_None, &result);
    Py_DECREF(iterator);
    if (sent == PYGEN_RETURN) return result;
    if (sent == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "the awaitable suspended; it should answer at once");
    }
    return NULL;
}

/* drive(coroutine): one send, its return value (no StopIteration is made),
 * so the harness adds the least to what it times. */
static PyObject *drive(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("drive", nargs, 1) < 0) return NULL;
    return run_once(args[0]);
}

/* {"role": role, "content": content} */
static PyObject *role_message(PyObject *role, PyObject *content) {
    PyObject *message = _PyDict_NewPresized(2);
    if (message == NULL) return NULL;
    if (PyDict_SetItem(message, s_role, role) < 0 || PyDict_SetItem(message, s_content, content) < 0) {
        Py_DECREF(message);
        return NULL;
    }
    return message;
}

/* summarize(messages, system_text, instruction, client): the chat lookups,
 * one copy of the finished system text, the client's own
 * complete(messages=[system, user], max_tokens=2048) driven once, and
 * json.loads of its answer's content. */
static PyObject *summarize(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (check_args("summarize", nargs, 4) < 0 || chat_lookups(args[0]) < 0) return NULL;
    PyObject *system_text = copy_text(args[1]);
    if (system_text == NULL) return NULL;
    PyObject *request = PyList_New(2);
    PyObject *system = role_message(s_system, system_text);
    PyObject *user = role_message(s_user, args[2]);
    Py_DECREF(system_text);
    if (request == NULL || system == NULL || user == NULL) {
        Py_XDECREF(request);
        Py_XDECREF(system);
        Py_XDECREF(user);
        return NULL;
    }
    PyList_SET_ITEM(request, 0, system);
    PyList_SET_ITEM(request, 1, user);
    PyObject *call[] = {args[3], request, s_2048};
    PyObject *awaitable = PyObject_VectorcallMethod(s_complete, call, 1, s_keywords);
    Py_DECREF(request);
    if (awaitable == NULL) return NULL;
    PyObject *response = run_once(awaitable);
    Py_DECREF(awaitable);
    if (response == NULL) return NULL;
    PyObject *content = PyObject_GetAttr(response, s_content);
    Py_DECREF(response);
    if (content == NULL) return NULL;
    PyObject *record = loads(content);
    Py_DECREF(content);
    return record;
}

static PyMethodDef floor_methods[] = {
    {"chat", (PyCFunction)(void (*)(void))chat, METH_FASTCALL, NULL},
    {"render", (PyCFunction)(void (*)(void))render, METH_FASTCALL, NULL},
    {"parse", (PyCFunction)(void (*)(void))parse, METH_FASTCALL, NULL},
    {"agent", (PyCFunction)(void (*)(void))agent, METH_FASTCALL, NULL},
    {"fallback", (PyCFunction)(void (*)(void))fallback, METH_FASTCALL, NULL},
    {"summarize", (PyCFunction)(void (*)(void))summarize, METH_FASTCALL, NULL},
    {"drive", (PyCFunction)(void (*)(void))drive, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_floor", "Floors for the benchmarks.", -1, floor_methods,
};

static int intern(PyObject **slot, const char *text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot == NULL ? -1 : 0;
}

/* module.name, imported once. */
static PyObject *held(const char *module, const char *name) {
    PyObject *m = PyImport_ImportModule(module);
    if (m == NULL) return NULL;
    PyObject *value = PyObject_GetAttrString(m, name);
    Py_DECREF(m);
    return value;
}

PyMODINIT_FUNC PyInit__floor(void) {
    if (intern(&s_role, "role") < 0 || intern(&s_content, "content") < 0 ||
        intern(&s_tool_calls, "tool_calls") < 0 || intern(&s_function, "function") < 0 ||
        intern(&s_arguments, "arguments") < 0 || intern(&s_assistant, "assistant") < 0 ||
        intern(&s_user, "user") < 0 || intern(&s_unknown, "unknown") < 0 ||
        intern(&s_created_at, "created_at") < 0 ||
        intern(&s_complete, "complete") < 0 || intern(&s_system, "system") < 0 ||
        intern(&s_newline, "\n") < 0) {
        return NULL;
    }
    for (size_t k = 0; k < sizeof section_keys / sizeof section_keys[0]; ++k) {
        if (intern(&section_keys[k], section_names[k]) < 0) return NULL;
    }
    PyObject *messages = PyUnicode_InternFromString("messages");
    PyObject *max_tokens = PyUnicode_InternFromString("max_tokens");
    s_keywords = messages != NULL && max_tokens != NULL ? PyTuple_Pack(2, messages, max_tokens) : NULL;
    Py_XDECREF(messages);
    Py_XDECREF(max_tokens);
    s_2048 = PyLong_FromLong(2048);
    json_loads = held("json", "loads");
    time_time = held("time", "time");
    if (s_keywords == NULL || s_2048 == NULL || json_loads == NULL || time_time == NULL) return NULL;
    return PyModule_Create(&floor_module);
}
