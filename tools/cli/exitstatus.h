#pragma once

namespace varn {

// What a script sees from varn-cli. Listed in --help and in the README; keep
// the numbers stable, scripts test them.
enum ExitStatus : int {
    ExitOk = 0,            // every operation succeeded
    ExitMismatch = 1,      // verify, blank check or compare found a wrong byte, diff a difference
    ExitUsage = 2,         // bad arguments, or varn.cfg / varn.dev / auto.cfg refused
    ExitCommunication = 3, // port cannot be opened, the unit did not answer
    ExitFile = 4,          // an image file could not be loaded or saved, or left data out, or the
                           // buffer is not the image --expect-crc32 names
    ExitLog = 5,           // the production log cannot be opened or written
    // As shells report a command ended by SIGINT or SIGTERM (128 + signal).
    ExitInterrupted = 130, // stopped by Ctrl+C (SIGINT)
    ExitTerminated = 143,  // stopped by SIGTERM
};

} // namespace varn
