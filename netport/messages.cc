// Failure texts and notes of the port layer: the backends and the dispatch
// in netport.cc both report through here, so neither calls into the other
// to log.
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "common/log.hpp"
#include "netport/port_impl.hpp"

using namespace common;

namespace netport {

namespace {

thread_local char last_error[512];

}  // namespace

void set_error(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(last_error, sizeof last_error, fmt, ap);
    va_end(ap);
    char line[sizeof last_error + 1];
    int n = snprintf(line, sizeof line, "%s\n", last_error);
    if (n > 0) {
        log_line(line, std::min<size_t>(size_t(n), sizeof line - 1));
    }
}

void note(const char* fmt, ...)
{
    char line[768];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min<size_t>(size_t(n), sizeof line - 2);
    line[len++] = '\n';
    log_line(line, len);
}

const char* nmport_errmsg() { return last_error; }

}  // namespace netport
