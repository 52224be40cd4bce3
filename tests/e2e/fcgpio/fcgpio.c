// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * fcgpio: a GPIO chip of 16 lines held in memory, for the emulated-PC test
 * (tests/e2e). Debian's kernels build neither gpio-sim nor gpio-mockup; this
 * is the least a real gpiolib chip needs, so that a program drives it through
 * the real character device and libgpiod, and the test reads the lines from
 * the chip's side.
 *
 * debugfs, in fcgpio/:
 *   log     every change of the lines in order, one per line, each with the
 *           kernel's monotonic time in ns (NS) at which it was made:
 *             "o NS LINE VALUE"  a line made an output at VALUE (a request's
 *                                initial value)
 *             "s NS LEVELS"      one set of several lines (one set ioctl),
 *                                LEVELS the 16 lines' levels after it, line 0
 *                                first, '1' high, '0' low
 *             "M NS TEXT"        a mark written to mark
 *             "R NS removed"     the chip taken away (remove)
 *   mark    (write) TEXT goes into the log, so that a program's phases cut
 *           its sets as the serial line's marks cut a port's writes
 *   levels  the 16 lines' levels now, as in the log
 *   remove  (write) takes the chip away, as an unplugged USB adapter's driver
 *           does: its lines' holders get ENODEV from then on
 */
#include <linux/debugfs.h>
#include <linux/gpio/driver.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/uaccess.h>

#define FCGPIO_LINES 16
#define FCGPIO_LOG_ENTRIES 200000
#define FCGPIO_MARK_LENGTH 48

struct fcgpio_entry {
	char kind;
	u64 time;
	u16 levels;
	u8 line;
	char mark[FCGPIO_MARK_LENGTH];
};

static struct gpio_chip fcgpio_chip;
static DEFINE_MUTEX(fcgpio_lock);
static unsigned long fcgpio_levels;
static unsigned long fcgpio_outputs;
static struct fcgpio_entry *fcgpio_log;
static unsigned int fcgpio_logged;
static bool fcgpio_added;
static struct dentry *fcgpio_dir;

static const char *const fcgpio_names[FCGPIO_LINES] = {
	"fc0", "fc1", "fc2", "fc3", "fc4", "fc5", "fc6", "fc7",
	"fc8", "fc9", "fc10", "fc11", "fc12", "fc13", "fc14", "fc15",
};

/* fcgpio_lock held */
static struct fcgpio_entry *fcgpio_append(char kind)
{
	struct fcgpio_entry *entry;

	if (fcgpio_logged >= FCGPIO_LOG_ENTRIES)
		return NULL;
	entry = &fcgpio_log[fcgpio_logged++];
	entry->kind = kind;
	entry->time = ktime_get_ns();
	entry->levels = fcgpio_levels;
	return entry;
}

static int fcgpio_get_direction(struct gpio_chip *chip, unsigned int offset)
{
	return test_bit(offset, &fcgpio_outputs) ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int fcgpio_direction_input(struct gpio_chip *chip, unsigned int offset)
{
	mutex_lock(&fcgpio_lock);
	clear_bit(offset, &fcgpio_outputs);
	mutex_unlock(&fcgpio_lock);
	return 0;
}

static int fcgpio_direction_output(struct gpio_chip *chip, unsigned int offset, int value)
{
	struct fcgpio_entry *entry;

	mutex_lock(&fcgpio_lock);
	set_bit(offset, &fcgpio_outputs);
	assign_bit(offset, &fcgpio_levels, value);
	entry = fcgpio_append('o');
	if (entry) {
		entry->line = offset;
		entry->levels = value;
	}
	mutex_unlock(&fcgpio_lock);
	return 0;
}

static int fcgpio_get(struct gpio_chip *chip, unsigned int offset)
{
	return test_bit(offset, &fcgpio_levels);
}

static void fcgpio_set_multiple(struct gpio_chip *chip, unsigned long *mask, unsigned long *bits)
{
	mutex_lock(&fcgpio_lock);
	fcgpio_levels = (fcgpio_levels & ~*mask) | (*bits & *mask);
	fcgpio_append('s');
	mutex_unlock(&fcgpio_lock);
}

static void fcgpio_set(struct gpio_chip *chip, unsigned int offset, int value)
{
	unsigned long mask = BIT(offset);
	unsigned long bits = value ? mask : 0;

	fcgpio_set_multiple(chip, &mask, &bits);
}

static void fcgpio_show_levels(struct seq_file *file, unsigned long levels)
{
	int line;

	for (line = 0; line < FCGPIO_LINES; line++)
		seq_putc(file, test_bit(line, &levels) ? '1' : '0');
}

static int fcgpio_log_show(struct seq_file *file, void *unused)
{
	unsigned int at;

	mutex_lock(&fcgpio_lock);
	for (at = 0; at < fcgpio_logged; at++) {
		const struct fcgpio_entry *entry = &fcgpio_log[at];

		seq_printf(file, "%c %llu ", entry->kind, entry->time);
		if (entry->kind == 'M') {
			seq_printf(file, "%s\n", entry->mark);
		} else if (entry->kind == 'R') {
			seq_puts(file, "removed\n");
		} else if (entry->kind == 'o') {
			seq_printf(file, "%u %u\n", entry->line, entry->levels);
		} else {
			fcgpio_show_levels(file, entry->levels);
			seq_putc(file, '\n');
		}
	}
	mutex_unlock(&fcgpio_lock);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(fcgpio_log);

static int fcgpio_levels_show(struct seq_file *file, void *unused)
{
	fcgpio_show_levels(file, READ_ONCE(fcgpio_levels));
	seq_putc(file, '\n');
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(fcgpio_levels);

static ssize_t fcgpio_mark_write(struct file *file, const char __user *from, size_t count, loff_t *position)
{
	char text[FCGPIO_MARK_LENGTH] = {};
	struct fcgpio_entry *entry;
	size_t length = min_t(size_t, count, sizeof(text) - 1);

	if (copy_from_user(text, from, length))
		return -EFAULT;
	strim(text);
	mutex_lock(&fcgpio_lock);
	entry = fcgpio_append('M');
	if (entry)
		strscpy(entry->mark, text, sizeof(entry->mark));
	mutex_unlock(&fcgpio_lock);
	return count;
}

static const struct file_operations fcgpio_mark_fops = {
	.owner = THIS_MODULE,
	.write = fcgpio_mark_write,
};

static ssize_t fcgpio_remove_write(struct file *file, const char __user *from, size_t count, loff_t *position)
{
	if (fcgpio_added) {
		fcgpio_added = false;
		/* Waits for the sets under way: none reaches the chip after it. */
		gpiochip_remove(&fcgpio_chip);
		mutex_lock(&fcgpio_lock);
		fcgpio_append('R');
		mutex_unlock(&fcgpio_lock);
	}
	return count;
}

static const struct file_operations fcgpio_remove_fops = {
	.owner = THIS_MODULE,
	.write = fcgpio_remove_write,
};

static int __init fcgpio_init(void)
{
	int error;

	fcgpio_log = kvcalloc(FCGPIO_LOG_ENTRIES, sizeof(*fcgpio_log), GFP_KERNEL);
	if (!fcgpio_log)
		return -ENOMEM;
	fcgpio_chip.label = "fcgpio";
	fcgpio_chip.owner = THIS_MODULE;
	fcgpio_chip.base = -1;
	fcgpio_chip.ngpio = FCGPIO_LINES;
	fcgpio_chip.names = fcgpio_names;
	fcgpio_chip.can_sleep = true;
	fcgpio_chip.get_direction = fcgpio_get_direction;
	fcgpio_chip.direction_input = fcgpio_direction_input;
	fcgpio_chip.direction_output = fcgpio_direction_output;
	fcgpio_chip.get = fcgpio_get;
	fcgpio_chip.set = fcgpio_set;
	fcgpio_chip.set_multiple = fcgpio_set_multiple;
	error = gpiochip_add_data(&fcgpio_chip, NULL);
	if (error) {
		kvfree(fcgpio_log);
		return error;
	}
	fcgpio_added = true;
	fcgpio_dir = debugfs_create_dir("fcgpio", NULL);
	debugfs_create_file("log", 0444, fcgpio_dir, NULL, &fcgpio_log_fops);
	debugfs_create_file("levels", 0444, fcgpio_dir, NULL, &fcgpio_levels_fops);
	debugfs_create_file("mark", 0222, fcgpio_dir, NULL, &fcgpio_mark_fops);
	debugfs_create_file("remove", 0222, fcgpio_dir, NULL, &fcgpio_remove_fops);
	return 0;
}

static void __exit fcgpio_exit(void)
{
	debugfs_remove_recursive(fcgpio_dir);
	if (fcgpio_added)
		gpiochip_remove(&fcgpio_chip);
	kvfree(fcgpio_log);
}

module_init(fcgpio_init);
module_exit(fcgpio_exit);
MODULE_DESCRIPTION("A GPIO chip in memory whose sets are logged, for tests");
MODULE_LICENSE("GPL");
