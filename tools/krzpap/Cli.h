// The command line's pieces, for a unit that uses them all: exit codes and errors (CliErrors.h),
// the host's set-up, output and Ctrl-C (CliHost.h), each command's options (CliOptions.h), and
// the words for the application layer's failures (Words.h).
#pragma once

#include "CliErrors.h"
#include "CliHost.h"
#include "CliOptions.h"
#include "Words.h"
