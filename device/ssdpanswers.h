#pragma once

typedef struct _GSSDPClient GSSDPClient;

// Search answers on the client leave within a tenth of a second of the M-SEARCH, whatever its MX.
// Call before any resource group is made on the client, so that its answers are timed here.
void keepSearchAnswersPrompt(GSSDPClient *client);
