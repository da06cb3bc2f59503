// The one application object of the windowed tool; it exists before the
// framework's entry runs.
#include "app/VantrelApp.h"

CVantrelApp theApp;
