// The closing step of a run on the boot flash.
#pragma once

// On NOR platforms removes the write lock of the whole chip ("/dev/mtd0").
void UPDATE_UnlockFlash();
