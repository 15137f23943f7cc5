// The application's console: the console of every layer, and the buffer in
// which app/ formats its status lines.
#pragma once

#include "console/console.h"

extern char g_message[MESSAGE_SIZE];
