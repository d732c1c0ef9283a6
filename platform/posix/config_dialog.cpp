// The port configuration dialog. Not offered on this host yet.
#include "provider.h"

BOOL CommConfigDialogA(LPCSTR, HWND, LPCOMMCONFIG) { return FailWith(ERROR_NOT_SUPPORTED); }
