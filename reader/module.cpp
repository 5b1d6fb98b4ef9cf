// The loadable reader driver: its code is the vx7rd_core library, whole.
#include "reader/frame/vx7rd.h"
