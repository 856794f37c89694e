// The simulated board: the nine driver calls over a model of the programmer
// board. Its knobs are environment variables, read by the model alone:
//
//   SIMBOARD_CHIP       the chip image (default simboard-chip.bin); a missing
//                       file is created erased, all 0xFF
//   SIMBOARD_CHIP_SIZE  size of such a new chip in bytes (default 65536)
//   SIMBOARD_LOG        file that gets one line per driver call
//   SIMBOARD_WIRE       file that gets every byte written to the pins
//   SIMBOARD_ABSENT     1: no board on the bus
//   SIMBOARD_FAIL       CALL:N[=STATUS],... the Nth use of CALL fails
//                       (status 4, I/O error, unless given)
//   SIMBOARD_SHORT      FT_Write:N=COUNT or FT_Read:N=COUNT,... the Nth
//                       transfer moves COUNT bytes and reports success
//   SIMBOARD_REALTIME   1: pace transfers at the link's rate, 16 x baud
#pragma once

// Forgets the board's state and reads the knobs again, as a fresh process
// would. For tests that drive the calls directly.
void simboardReset();
