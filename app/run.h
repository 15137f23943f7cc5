// The run sequence of one invocation of the tool.
#pragma once

// The banner text, printed once at start.
extern const char BANNER_TEXT[];

// Defaults, banner, options, then the run; returns the process exit status.
int APP_Run(int argc, const char *const *argv);
