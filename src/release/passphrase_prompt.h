#pragma once
// The passphrase of an encrypted signing key, asked on the terminal.

#include <string>

// Asks once on the controlling terminal, without echo, whatever standard input
// and output are. False when the process has no terminal to ask on.
bool AskPassphraseOnTerminal(const std::string& prompt, std::string& passphrase);
