#include "platform/system_calls.h"

SystemCalls& sys() {
    static SystemCalls table;
    return table;
}
