#pragma once
// A management session captured from OpenVPN 2.6.14 (UDP, tunnel up, traffic,
// SIGTERM), as the bytes arrived: every line ends in CR LF.
inline constexpr const char* kRecordedMachineId = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";

inline constexpr const char kRecordedSession[] =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    "SUCCESS: real-time state notification set to ON\r\n"
    "SUCCESS: bytecount interval changed\r\n"
    "SUCCESS: hold flag set to OFF\r\n"
    "SUCCESS: hold release succeeded\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
    "SUCCESS: 'Auth' password entered, but not yet verified\r\n"
    ">STATE:1796755937,WAIT,,,,,,\r\n"
    ">STATE:1796755937,AUTH,,,,,,\r\n"
    ">STATE:1796755937,ASSIGN_IP,,,,,,\r\n"
    ">STATE:1796755937,CONNECTED,SUCCESS,,127.0.0.1,11940,,\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2944,1095\r\n"
    ">STATE:1796755950,EXITING,exit-with-notification,,,,,\r\n";

// What our side answers to it, in order.
inline constexpr const char* kRecordedCommands[] = {
    "state on\n",
    "bytecount 3\n",
    "hold off\n",
    "hold release\n",
    "username 'Auth' '6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914'\n",
    "password 'Auth' '6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914'\n",
};
