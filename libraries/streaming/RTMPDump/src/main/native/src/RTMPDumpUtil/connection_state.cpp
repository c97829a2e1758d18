// The connection's own view of itself, read for the send path's decisions.
#include "RTMPDumpUtil.h"

extern "C" int get_rtmp_state(RTMP *rtmp, pthread_mutex_t *mutex, int *is_connected, int *is_timedout)
{
    if (!rtmp)
        return 0;
    if (mutex)
        pthread_mutex_lock(mutex);
    int connected = RTMP_IsConnected(rtmp);
    int timedout = RTMP_IsTimedout(rtmp);
    if (mutex)
        pthread_mutex_unlock(mutex);
    if (is_connected)
        *is_connected = connected;
    if (is_timedout)
        *is_timedout = timedout;
    return 1;
}
