// The constant texts: the table's one instance, and its creation.
#include "texts.hpp"

namespace summarizer {

Texts T;

namespace {

PyObject* make_text(const char* text, bool intern) {
    return intern ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
}

}  // namespace

void create_texts() {
    if (T.created) return;
#define SUMMARIZER_NAME(member, text) \
    if (T.member == nullptr) T.member = Ref::check(make_text(text, true)).release();
#define SUMMARIZER_TEXT(member, text) \
    if (T.member == nullptr) T.member = Ref::check(make_text(text, false)).release();
    SUMMARIZER_NAMES(SUMMARIZER_NAME)
    SUMMARIZER_TEXTS(SUMMARIZER_TEXT)
#undef SUMMARIZER_NAME
#undef SUMMARIZER_TEXT
    if (T.int_2048 == nullptr) T.int_2048 = Ref::check(PyLong_FromLong(2048)).release();
    if (T.request_keywords == nullptr) {
        T.request_keywords = Ref::check(PyTuple_Pack(2, T.messages, T.max_tokens)).release();
    }
    T.created = true;
}

}  // namespace summarizer
