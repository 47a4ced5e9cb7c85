// Wires the reboot manager (engine/core/rebootmgr.h) into the engine.
#pragma once

struct EN_SERVICE_HOOKS;
// Fills the reboot manager's entries of the engine's service hooks: set-up
// creates gRebootManager and connects the disk library's restart hooks to it
// (unsafe partitions, pending changes), tear-down destroys it; the summary,
// the change tests and the restart request read it.
void RebootManagerAddServiceHooks(EN_SERVICE_HOOKS* hooks);
