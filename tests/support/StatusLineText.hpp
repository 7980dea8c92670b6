#pragma once

#include <cstddef>
#include <string>

// The 265 characters after "@DSS," as the DSAir2 lays them out: separators in their places, the
// fields given, zeros elsewhere. Written apart from the simulator's, for the tests of what the
// link reads from it.
inline std::string StatusBody(char power = 'N', char error = '0', const std::string& supply = "148",
                              char firmware = '8', char hardware = '2',
                              const std::string& counter = "17") {
    std::string body(265, '0');
    for (const std::size_t comma : {1, 3, 5, 7, 11, 14, 16, 19})
        body[comma] = ',';
    for (const std::size_t semicolon : {31, 47, 112})
        body[semicolon] = ';';
    body[0] = power;
    body[2] = error;
    body[4] = firmware;
    body.replace(8, 3, supply);
    body[15] = hardware;
    body.replace(17, 2, counter);
    return body;
}

// The whole status line as the station sends it, without its line feed.
inline std::string StatusLineText(char power = 'N', char error = '0',
                                  const std::string& supply = "148") {
    return "@DSS," + StatusBody(power, error, supply) + "\r";
}
