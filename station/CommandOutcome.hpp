#pragma once

// What became of one station command, as far as the link can tell.
enum class CommandOutcome {
    // Answered "200 Ok": carried out.
    Done,
    // Answered with a refusal ("300 Cmd err" and any other completing code but 301): not
    // carried out, and sending it again would be refused again.
    Refused,
    // Written, but whether the station carried it out is not known: no answer in time,
    // "301 Stx err" (the station could not read the line, as after noise), or a reset or a loss
    // while it waited.
    Unknown,
    // Nothing reached the station: the link was gone, connecting or stopping.
    NotSent,
};
