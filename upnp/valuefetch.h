#pragma once

// Answers a request or a subscription waits for, under way; destroying it cancels what is still
// missing.
class ValueFetch
{
public:
    virtual ~ValueFetch() = default;
    // Gives up the answers still missing: what waits for them goes on without them.
    virtual void abandon() = 0;
};
