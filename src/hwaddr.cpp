// hwaddr: print the hardware address of eth0, or zeros when there is none to be had.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

int main(int, char **)
{
	struct ifreq ifr;
	int fd;

	// A reader that has gone away is a failed write like any other, not a death by signal.
	(void)signal(SIGPIPE, SIG_IGN);

	fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		(void)printf("00:00:00:00:00:00\n");
		return 0;
	}
	(void)memset(&ifr, 0, sizeof(ifr));
	(void)sprintf(ifr.ifr_name, "eth0");
	if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
		(void)close(fd);
		(void)printf("00:00:00:00:00:00\n");
		return 0;
	}
	(void)close(fd);

	// sa_data is plain char: widened as signed, 0xA0 would print as FFFFFFA0.
	for (int i = 0; i < 6; i++) {
		(void)printf("%.2X", static_cast<unsigned char>(ifr.ifr_hwaddr.sa_data[i]));
		if (i < 5)
			(void)printf(":");
	}
	(void)printf("\n");
	return 0;
}
