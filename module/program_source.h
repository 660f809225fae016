#pragma once

// "Zerka 节目": an OBS source type that shows the desk's program (the same
// pictures and sound that reach its other outputs) inside OBS's scenes,
// black and silent while program is empty. Every instance shows the same
// program; nothing is converted or copied while none is shown.

class ProgramTap;

// Registers the source type; at module load.
void zk_program_source_register();
// What the dock hands the desk; lives as long as the module.
ProgramTap *zk_program_tap();
