// SPDX-License-Identifier: GPL-2.0
/*
 * orvwdt: the Orvane III's reset file, /proc/wdt/wdt, for the virtual appliance.
 *
 * The field tools reset an Orvane III with "echo 0 > /proc/wdt/wdt". On the real
 * board that file belongs to the watchdog driver; here it restarts the system the
 * orderly way (init's shutdown steps, file systems synced), and if user space
 * cannot be asked, the kernel syncs and restarts by itself. Any other value is
 * refused with EINVAL, so a mistyped command does not restart the appliance.
 */
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/reboot.h>
#include <linux/uaccess.h>

static struct proc_dir_entry *wdt_dir;

static ssize_t wdt_write(struct file *file, const char __user *buf, size_t len, loff_t *off)
{
	char text[8] = "";
	size_t n = min(len, sizeof(text) - 1);

	if (len == 0)
		return 0;
	if (copy_from_user(text, buf, n))
		return -EFAULT;
	/* "0", with or without the line end of echo */
	if (text[0] != '0' || (n > 1 && text[1] != '\n'))
		return -EINVAL;
	pr_notice("wdt: reset requested\n");
	orderly_reboot();
	return len;
}

static const struct proc_ops wdt_ops = {
	.proc_write = wdt_write,
};

static int __init wdt_init(void)
{
	wdt_dir = proc_mkdir("wdt", NULL);
	if (!wdt_dir)
		return -ENOMEM;
	if (!proc_create("wdt", 0200, wdt_dir, &wdt_ops)) {
		proc_remove(wdt_dir);
		return -ENOMEM;
	}
	return 0;
}

static void __exit wdt_exit(void)
{
	proc_remove(wdt_dir);
}

module_init(wdt_init);
module_exit(wdt_exit);
MODULE_DESCRIPTION("Orvane III reset file /proc/wdt/wdt");
MODULE_LICENSE("GPL");
