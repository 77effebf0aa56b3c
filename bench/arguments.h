// The command line of a benchmark program: its options one at a time, and its usage text with the
// mistake on standard error (exit status 2) when something is wrong.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class BenchArguments {
public:
    BenchArguments(int argc, char **argv, const char *program, const char *options)
        : m_argc(argc), m_argv(argv), m_program(program), m_options(options)
    {
    }

    // The next option, or null after the last.
    const char *next() { return m_next < m_argc ? (m_current = m_argv[m_next++]) : nullptr; }
    // The value that follows the current option.
    const char *value()
    {
        if (m_next >= m_argc)
            fail(std::string("missing value for ") + m_current);
        return m_argv[m_next++];
    }
    [[noreturn]] void fail(const std::string &why) const
    {
        std::fprintf(stderr, "%s: %s\nusage: %s %s\n", m_program, why.c_str(), m_program, m_options);
        std::exit(2);
    }

private:
    int m_argc;
    char **m_argv;
    const char *m_program;
    const char *m_options;
    const char *m_current = "";
    int m_next = 1;
};
