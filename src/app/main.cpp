// quarvel: the operator's window. Lists the node folders beside the executable and
// converts a node's data-log folder into InfluxDB (QUARVEL_INFLUX_URL, or the local server).

#include "app/QuarvelApp.h"

#include <QApplication>

#include <clocale>

using namespace quarvel;

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // names are in the locale's code page
    QApplication application(argc, argv);
    CQuarvelApp app;
    return app.Run();
}
