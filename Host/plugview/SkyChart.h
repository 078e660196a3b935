// The chart of plugview: a gnomonic projection of the sky around a centre,
// a right ascension / declination grid and a short list of bright stars.
#ifndef SKY_CHART_H
#define SKY_CHART_H

const double kPi = 3.14159265358979323846;

struct ChartStar {
    const char *name;
    double rightAscension, declination; // radians
    double magnitude;
};

struct ChartView {
    double centreRA, centreDec;  // radians
    double pixelsPerRadian;
    int width, height;           // the chart's part of the client area
};

// The built-in stars, brightest first.
const ChartStar *ChartStars(int *count);

// Where a position falls on the chart; false when it is on the far side of
// the sky or too close to the horizon of the projection to draw.
bool ProjectOnChart(const ChartView &view, double ra, double dec, double *x, double *y);

// The star drawn within `radius` pixels of (x, y), or null.
const ChartStar *StarNear(const ChartView &view, int x, int y, int radius);

#endif
