// The hourly sweep of the data-source pool as the background thread sees it. The application state
// (CSspApp) implements it; the server program hands that to its script thread, which calls it at
// minute 0 of each hour when the settings switch the sweep on.
#pragma once

class CIdleDataSourceSweep {
public:
    virtual ~CIdleDataSourceSweep() = default;
    // Closes every pooled data source that nobody has used for longer than the pool's idle limit.
    virtual void CloseIdleDataSources() = 0;
};
