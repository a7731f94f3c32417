// Layout probe: the sizes and offsets of the structures in layout_list.h as the driver's real
// build sees them (the mingw-w64 DDK through core/compat.h), one "name value" line each. The
// text is built at compile time and kept in the object, so generate.sh can read it out of the
// objects of both mingw compilers without running them; on Windows the program prints it.
#include "core/compat.h"

#include <stdio.h>

#include "layout_list.h"

namespace {

struct LayoutText {
    char data[16384];
    unsigned size;
};

constexpr void Append(LayoutText& text, const char* s) {
    while (*s != 0) {
        text.data[text.size++] = *s++;
    }
}

constexpr void AppendNumber(LayoutText& text, unsigned long long value) {
    char digits[24] = {};
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        text.data[text.size++] = digits[--count];
    }
}

constexpr LayoutText Build() {
    LayoutText text{};
    Append(text, "VELT-LAYOUT\n");
#define VELT_PROBE_SIZE(type)                                                                      \
    Append(text, "sizeof(" #type ") ");                                                            \
    AppendNumber(text, sizeof(type));                                                              \
    Append(text, "\n");
#define VELT_PROBE_FIELD(type, field)                                                              \
    Append(text, "offsetof(" #type ", " #field ") ");                                              \
    AppendNumber(text, __builtin_offsetof(type, field));                                           \
    Append(text, "\n");
    VELT_LAYOUT_LIST(VELT_PROBE_SIZE, VELT_PROBE_FIELD)
    Append(text, "VELT-LAYOUT-END\n");
    return text;
}

} // namespace

extern "C" __attribute__((used)) const LayoutText VeltLayoutText = Build();

int main() {
    fputs(VeltLayoutText.data, stdout);
    return 0;
}
