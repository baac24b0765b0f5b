// Must not compile: a narrow text given to "%s", which takes a wide one.
#include <string>

#include "LibFormat.h"

std::wstring Bad() {
    return TernFormat(L"%s", std::string("narrow"));
}
