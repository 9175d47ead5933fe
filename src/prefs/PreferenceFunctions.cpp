#include "prefs/PreferenceClient.h"

std::optional<std::string> gDefaultPrefClientName;
std::shared_ptr<PreferenceClient> gDefaultPrefClient;

void PreferenceInit(const std::string& name) { gDefaultPrefClientName = name; }

void PreferenceCleanup()
{
    // Moved out first so that the client's destructor never sees itself as the
    // default client; callers that still hold it keep a working client.
    std::shared_ptr<PreferenceClient> previous = std::move(gDefaultPrefClient);
    gDefaultPrefClient = nullptr;
    previous.reset();
    gDefaultPrefClientName.reset();
}
