// The summary record: one dict, nine keys in a fixed order, created_at last.
#pragma once

#include <array>

#include "function.hpp"
#include "ref.hpp"
#include "texts.hpp"

namespace summarizer {

// The eight fields read from the model and rendered, in record order.
inline constexpr std::array<Text, 8> record_fields = {
    &Texts::goals,      &Texts::progress,  &Texts::current_state, &Texts::key_decisions,
    &Texts::key_facts,  &Texts::blockers,  &Texts::next_steps,    &Texts::summary,
};

// Fields whose empty value is a new list (the others are texts, empty "").
inline constexpr bool is_list_field(Text field) {
    return field != &Texts::current_state && field != &Texts::summary;
}

// Fills a record field by field, in record order; finish() stamps created_at.
// A builder that is dropped before finish() discards the partial record.
class RecordBuilder {
public:
    RecordBuilder();
    void add(PyObject* value);           // borrowed
    void add(Ref value) { add(value.get()); }
    void add_empty();                    // the next field's empty value
    Ref finish();                        // created_at = time.time()

private:
    Ref dict_;
    std::size_t next_ = 0;
};

Ref new_list();

extern const FunctionSpec empty_summary_function;
extern const FunctionSpec fallback_summary_function;

}  // namespace summarizer
