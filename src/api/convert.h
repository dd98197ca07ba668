#pragma once

// Passes a message of the running conversion to the host's onMessage.
void ForwardMessage(double time, const char *text);
