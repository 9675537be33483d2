// SPDX-License-Identifier: GPL-2.0
/*
 * "/dev/mfp_flashrom": the board's 512 KiB NOR flash for the virtual board.
 *
 * The contents live in physical memory above mem=, which the host backs with
 * a file, so they outlive the machine and the host can fill and read them.
 * NOR rules: a write can only clear bits, an erase sets a whole sector to
 * 0xFF and takes erase_ms to complete. ioctl's third argument selects the
 * request (10 start erasing the sector at the file position, 15 its status);
 * the request word itself carries nothing.
 *
 * A power cut can be armed at the cut_at-th program or erase operation: the
 * operation is torn as cut_mode says, erases still running are torn the
 * same way, a marker goes to the console and the CPU stops, so that nothing
 * after the cut reaches the flash. The host kills the machine on the marker.
 */
#include <linux/fs.h>
#include <linux/io.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/reboot.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>

#define MFP_FLASH_SIZE 0x80000u
#define MFP_REQ_ERASE 10
#define MFP_REQ_STATUS 15
#define MFP_SECTORS 12

static unsigned long phys = 0x0ED00000;
module_param(phys, ulong, 0444);
MODULE_PARM_DESC(phys, "physical address of the flash contents (above mem=)");

static unsigned int erase_ms = 200;
module_param(erase_ms, uint, 0644);
MODULE_PARM_DESC(erase_ms, "duration of one sector erase, taken when it starts");

static unsigned int cut_at;
module_param(cut_at, uint, 0444);
MODULE_PARM_DESC(cut_at, "power cut at this program or erase operation (0: none)");

static char *cut_mode = "prefix";
module_param(cut_mode, charp, 0444);
MODULE_PARM_DESC(cut_mode, "tear of the cut operation: none, prefix or random");

static unsigned long long cut_salt = 1;
module_param(cut_salt, ullong, 0444);
MODULE_PARM_DESC(cut_salt, "start value of the tear's generator");

/* Operations of this boot: write calls and accepted erase requests. */
static unsigned int programs;
module_param(programs, uint, 0444);
static unsigned int erases;
module_param(erases, uint, 0444);
/* Writes that asked to raise a bit (programmed as old AND new). */
static unsigned int violations;
module_param(violations, uint, 0444);

static u8 *flash;
static DEFINE_MUTEX(lock);

struct sector {
	u32 start, size;
};

static struct sector sector(int i)
{
	if (i < 7)
		return (struct sector){ i * 0x10000u, 0x10000u };
	if (i == 7)
		return (struct sector){ 0x70000u, 0x8000u };
	return (struct sector){ 0x78000u + (i - 8) * 0x2000u, 0x2000u };
}

static int sector_index(u32 pos)
{
	int i;

	for (i = 0; i < MFP_SECTORS; i++)
		if (pos - sector(i).start < sector(i).size)
			return i;
	return -1;
}

/* Erases in progress: each sector keeps its old bytes until its end. */
static bool erasing[MFP_SECTORS];
static unsigned long erase_end[MFP_SECTORS];

static void settle(void)
{
	int i;

	for (i = 0; i < MFP_SECTORS; i++) {
		if (erasing[i] && time_after_eq(jiffies, erase_end[i])) {
			memset(flash + sector(i).start, 0xff, sector(i).size);
			erasing[i] = false;
		}
	}
}

/* splitmix64: the same salt tears the same way as on the simulated board. */
static u64 rng_state;

static u64 rng_next(void)
{
	u64 z = (rng_state += 0x9E3779B97F4A7C15ull);

	z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
	z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
	return z ^ (z >> 31);
}

static u32 rng_below(u32 n)
{
	u64 x = rng_next();

	return do_div(x, n);
}

enum tear { TEAR_NONE, TEAR_PREFIX, TEAR_RANDOM };

static enum tear tear_mode(void)
{
	if (!strcmp(cut_mode, "none"))
		return TEAR_NONE;
	if (!strcmp(cut_mode, "random"))
		return TEAR_RANDOM;
	return TEAR_PREFIX;
}

static void tear_erase(int i, enum tear t)
{
	struct sector s = sector(i);
	u32 k, done;

	erasing[i] = false;
	if (t == TEAR_PREFIX) {
		done = rng_below(s.size + 1);
		memset(flash + s.start, 0xff, done);
	} else if (t == TEAR_RANDOM) {
		for (k = 0; k < s.size; k++)
			flash[s.start + k] |= rng_next() >> 56;
	}
}

/* True when this operation is the one the cut was armed at. */
static bool cut_fires(void)
{
	return cut_at && programs + erases == cut_at;
}

static void __noreturn power_cut(const char *what, u32 pos)
{
	enum tear t = tear_mode();
	int i;

	for (i = 0; i < MFP_SECTORS; i++)
		if (erasing[i])
			tear_erase(i, t);
	pr_emerg("<<mfpvm>> cut %s 0x%05x %s %llu programs %u erases %u\n",
		 what, pos, cut_mode, cut_salt, programs, erases);
	local_irq_disable();
	for (;;)
		cpu_relax();
}

static ssize_t mfp_read(struct file *f, char __user *buf, size_t n, loff_t *ppos)
{
	loff_t pos = *ppos;
	ssize_t len;

	if (pos < 0)
		return -EINVAL;
	if (pos >= MFP_FLASH_SIZE)
		return 0;
	len = min_t(size_t, n, MFP_FLASH_SIZE - pos);
	mutex_lock(&lock);
	settle();
	if (copy_to_user(buf, flash + pos, len))
		len = -EFAULT;
	mutex_unlock(&lock);
	if (len > 0)
		*ppos = pos + len;
	return len;
}

static bool overlaps_erase(u32 pos, u32 len)
{
	int i;

	for (i = 0; i < MFP_SECTORS; i++)
		if (erasing[i] && pos < sector(i).start + sector(i).size &&
		    sector(i).start < pos + len)
			return true;
	return false;
}

static ssize_t mfp_write(struct file *f, const char __user *buf, size_t n, loff_t *ppos)
{
	loff_t pos = *ppos;
	size_t len, k;
	u8 *data;
	bool raise = false;
	ssize_t ret;

	if (pos < 0)
		return -EINVAL;
	len = pos >= MFP_FLASH_SIZE ? 0 : min_t(size_t, n, MFP_FLASH_SIZE - pos);
	data = len ? vmemdup_user(buf, len) : NULL;
	if (IS_ERR(data))
		return PTR_ERR(data);
	mutex_lock(&lock);
	settle();
	programs++;
	if (cut_fires()) {
		enum tear t = tear_mode();
		u8 *p = flash + pos;

		rng_state = cut_salt;
		if (len && !overlaps_erase(pos, len) && t == TEAR_PREFIX) {
			size_t done = rng_below(len + 1);

			for (k = 0; k < done; k++)
				p[k] &= data[k];
		} else if (len && !overlaps_erase(pos, len) && t == TEAR_RANDOM) {
			for (k = 0; k < len; k++)
				p[k] &= ~((p[k] & ~data[k]) & (rng_next() >> 56));
		}
		power_cut("write", pos);
	}
	if (n && !len) {
		ret = -ENOSPC;
	} else if (overlaps_erase(pos, len)) {
		ret = -EBUSY;
	} else {
		for (k = 0; k < len; k++) {
			raise |= data[k] & ~flash[pos + k];
			flash[pos + k] &= data[k];
		}
		violations += raise;
		*ppos = pos + len;
		ret = len;
	}
	mutex_unlock(&lock);
	kvfree(data);
	return ret;
}

static long mfp_ioctl(struct file *f, unsigned int request, unsigned long arg)
{
	loff_t pos = f->f_pos;
	int i = pos >= 0 && pos < MFP_FLASH_SIZE ? sector_index(pos) : -1;
	long ret = 0;

	if (i < 0 || (arg != MFP_REQ_ERASE && arg != MFP_REQ_STATUS))
		return -EINVAL;
	mutex_lock(&lock);
	settle();
	if (arg == MFP_REQ_STATUS) {
		ret = erasing[i] ? -EBUSY : 0;
	} else if (sector(i).start != pos) {
		ret = -EINVAL;
	} else {
		erases++;
		if (cut_fires()) {
			rng_state = cut_salt;
			tear_erase(i, tear_mode());
			power_cut("erase", pos);
		}
		erasing[i] = true;
		erase_end[i] = jiffies + msecs_to_jiffies(erase_ms);
		settle();
	}
	mutex_unlock(&lock);
	return ret;
}

static const struct file_operations mfp_fops = {
	.owner = THIS_MODULE,
	.llseek = default_llseek,
	.read = mfp_read,
	.write = mfp_write,
	.unlocked_ioctl = mfp_ioctl,
};

static struct miscdevice mfp_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "mfp_flashrom",
	.fops = &mfp_fops,
	.mode = 0600,
};

/* An orderly power-off lets running erases finish, as a board would. */
static int mfp_reboot(struct notifier_block *nb, unsigned long code, void *unused)
{
	int i;

	mutex_lock(&lock);
	for (i = 0; i < MFP_SECTORS; i++)
		if (erasing[i])
			erase_end[i] = jiffies;
	settle();
	mutex_unlock(&lock);
	return NOTIFY_DONE;
}

static struct notifier_block mfp_reboot_nb = { .notifier_call = mfp_reboot };

static int __init mfp_flash_init(void)
{
	int ret;

	flash = memremap(phys, MFP_FLASH_SIZE, MEMREMAP_WB);
	if (!flash) {
		pr_err("mfp_flash: cannot map 0x%lx\n", phys);
		return -ENOMEM;
	}
	ret = misc_register(&mfp_misc);
	if (ret) {
		memunmap(flash);
		return ret;
	}
	register_reboot_notifier(&mfp_reboot_nb);
	return 0;
}
device_initcall(mfp_flash_init);

MODULE_DESCRIPTION("The board's NOR flash in reserved physical memory");
MODULE_LICENSE("GPL");
