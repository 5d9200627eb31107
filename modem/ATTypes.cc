#include "modem/ATTypes.h"

#include <cstring>

namespace {
// The 261-byte fields keep 259 characters.
constexpr size_t kEntryTextMax = 259;

void CopyEntryText(char* to, const char* from) {
    size_t n = from ? strnlen(from, kEntryTextMax) : 0;
    if (n) memcpy(to, from, n);
    to[n] = '\0';
}
}  // namespace

void ATCommandEntry::Set(int orderNumber, const char* commandText, int timeoutSeconds,
                         int isCritical, ResultCheck resultCheck, void* checkContext,
                         const char* alternativeText) {
    activated = 1;
    order = orderNumber;
    timeout = timeoutSeconds;
    critical = isCritical;
    check = resultCheck;
    context = checkContext;
    CopyEntryText(command, commandText);
    if (alternativeText) {
        CopyEntryText(alternative, alternativeText);
        hasAlternative = 1;
    } else {
        alternative[0] = '\0';
        hasAlternative = 0;
    }
}
