// The batch parser over arbitrary text: it must classify every statement and
// keep every argument span inside the text (the journal masks by span).
#include "server/tds/Batch.h"

#include <cstddef>
#include <cstdint>

using namespace lectora::server::tds;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const Statement& st : parseBatch(text)) {
        if (st.begin + st.text.size() > text.size() ||
            text.substr(st.begin, st.text.size()) != st.text)
            __builtin_trap();
        for (const BatchArgument& a : st.args)
            if (a.begin > a.end || a.end > st.text.size())
                __builtin_trap();
        if (st.kind == Statement::Kind::Call && st.procedure.empty())
            __builtin_trap();
    }
    return 0;
}
