// The sweeps of the data-source pool as the background thread sees them. The application state
// (CSspApp) implements them; the server program hands that to its script thread, which calls the
// shared data sources' sweep at minute 0 of each hour when the settings switch it on, and the idle
// private connections' sweep on every tick.
#pragma once

class CIdleDataSourceSweep
{
public:
    virtual ~CIdleDataSourceSweep() = default;
    // Closes every pooled data source that nobody has used for longer than the pool's idle limit.
    virtual void CloseIdleDataSources() = 0;
    // Closes the private connections kept idle for reuse that waited longer than the setting
    // "DbConnectionIdleTimeout" in minutes, or 120 minutes when it is 0.
    virtual void CloseIdlePrivateDataSources() = 0;
};
