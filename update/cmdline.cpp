// The command line of update: options, their errors, usage and version.
#include "update_internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *usage_lines[] = {
    "\n",
    "  Syntax: %s [options]\n",
    "\n",
    "  options          descriptions\n",
    "  ----------------------------------------------------\n",
    "  -d               The debug messages are turned on\n",
    "  -D               The file is downloaded directly\n",
    "                   into the target partition\n",
    "  -f filename      Will specify the file for the download\n",
    "  -F               The system is forced to downloading\n",
    "  -h ip            Will specify the FTP server address\n",
    "  -H               This help message is displayed\n",
    "  -m x             Will specify the FTP operation mode\n",
    "                   [0 = auto, 1 = active, 2 = passive]\n",
    "  -p password      Will specify the password\n",
    "  -u username      Will specify the username\n",
    "  -v               The version of program is displayed\n",
    "\n",
};

struct MissingText {
    char letter;
    const char *console;
    const char *state;
};

constexpr MissingText missing_texts[] = {
    {'f', "\n  %s: Missing filename\n\n", "Missing filename\n"},
    {'h', "\n  %s: Missing host IP\n\n", "Missing host IP\n"},
    {'m', "\n  %s: Missing mode\n\n", "Missing mode\n"},
    {'p', "\n  %s: Missing password\n\n", "Missing password\n"},
    {'u', "\n  %s: Missing username\n\n", "Missing username\n"},
};

} // namespace

long parse_mode(const char *text) {
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    // Anything past the cap is out of range anyway; stopping there keeps the
    // sum from wrapping back into it (long has 32 bits on the appliance).
    constexpr long cap = 1000000;
    long value = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value < cap)
            value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

int parse_command_line(int argc, char **argv, UpdateSettings *s, char *letter) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0')
            return CMDLINE_INVALID_ARGUMENT;
        char option = arg[1];
        switch (option) {
        case 'd':
            run_flag_set(RUN_DEBUG);
            continue;
        case 'D':
            run_flag_set(RUN_DIRECT);
            continue;
        case 'F':
            run_flag_set(RUN_FORCED);
            continue;
        case 'H':
            return CMDLINE_USAGE;
        case 'v':
            return CMDLINE_VERSION;
        case 'f':
        case 'h':
        case 'm':
        case 'p':
        case 'u':
            break;
        default:
            return CMDLINE_INVALID_ARGUMENT;
        }
        if (i + 1 >= argc) {
            *letter = option;
            return CMDLINE_MISSING_VALUE;
        }
        const char *value = argv[++i];
        if (option == 'f') {
            s->image = value;
        } else if (option == 'h') {
            s->host = value;
        } else if (option == 'p') {
            s->password = value;
        } else if (option == 'u') {
            s->user = value;
        } else {
            long mode = parse_mode(value);
            if (mode < FTP_MODE_AUTO || mode > FTP_MODE_PASSIVE)
                return CMDLINE_INVALID_MODE;
            s->mode = static_cast<int>(mode);
        }
    }
    return CMDLINE_OK;
}

void print_usage() {
    for (const char *line : usage_lines)
        printf(line, program_name);
    fflush(stdout);
}

void take_command_line(int argc, char **argv, UpdateSettings *s) {
    char letter = 0;
    int rc = parse_command_line(argc, argv, s, &letter);
    if (rc == CMDLINE_USAGE) {
        print_usage();
        exit(UPDATE_EXIT_OK);
    }
    if (rc == CMDLINE_VERSION) {
        printf("\n  %s: %s\n\n", program_name, UPDATE_VERSION_BANNER);
        fflush(stdout);
        exit(UPDATE_EXIT_OK);
    }
    // Before the first state-file line, a command-line error's too.
    take_run_lock();
    switch (rc) {
    case CMDLINE_OK:
        return;
    case CMDLINE_INVALID_MODE:
        printf("\n  %s: Invalid mode\n\n", program_name);
        fflush(stdout);
        write_state(update_state_path, "Invalid mode\n");
        update_terminate(UPDATE_EXIT_INVALID);
    case CMDLINE_MISSING_VALUE:
        for (const MissingText &m : missing_texts) {
            if (m.letter != letter)
                continue;
            printf(m.console, program_name);
            if (letter == 'h' && argc == 2)
                print_usage();
            fflush(stdout);
            write_state(update_state_path, "%s", m.state);
        }
        update_terminate(UPDATE_EXIT_MISSING);
    default:
        printf("\n  %s: Invalid argument\n\n", program_name);
        fflush(stdout);
        write_state(update_state_path, "Invalid argument\n");
        print_usage();
        update_terminate(UPDATE_EXIT_INVALID);
    }
}
