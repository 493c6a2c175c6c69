// The update run after parsing: relocation, single instance, log, worker and
// watchdog, verdict and closing steps.
#pragma once

struct UPDATE_PARA_S;

// Takes ownership of nothing: the entry frees the record. Returns the run's exit code.
[[nodiscard]] int UPDATE_RunUpdate(int argc, char** argv, UPDATE_PARA_S* para);
// True when the last run ended while its detached worker still borrowed the
// record (a stall, or a worker that did not leave within the bound): the
// entry must not free the record then.
[[nodiscard]] bool UPDATE_WorkerHoldsRecord();
