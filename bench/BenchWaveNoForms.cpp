// Completion messages go nowhere in a build without the form library; the benchmarks watch the
// headers instead.
#include "platform/forms/Messages.h"

bool PostMessage(HWND, UINT, WPARAM, LPARAM) {
    return false;
}
