// The single-image debug load (-debug): one raw image file, fetched by TFTP
// or FTP under a fixed name (or taken from the -local directory), written
// straight into its partition, without package, checks, worker or watchdog.
#pragma once

struct UPDATE_PARA_S;

// 0 when the image was written; -1 when no image is chosen, no file can be
// named or the fetch failed three times; otherwise the writer's code.
[[nodiscard]] int UPDATE_LoadSingle(const UPDATE_PARA_S* para);
