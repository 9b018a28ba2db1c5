// The system's text for an error number, safe to build on any thread: strerror may share one
// buffer between threads, strerror_r does not. Use as SysErrText(errno).text inside one expression.
#pragma once

struct SysErrText
{
    explicit SysErrText(int err);
    char buf[96];
    const char* text;
};
