// Test support: puts every global of the tool back to its start value, so
// that in-process tests do not see each other's state.
#pragma once

void APP_ResetGlobalsForTest();
