// Band compression: the page image is cut into bands of at most 256 rows,
// each band is encoded by libjbig as one complete JBIG image, and written as
// an image-data record followed by its compressed bytes and filler.
#include <cstdlib>
#include <cstring>

extern "C" {
#include <jbig.h>
}

#include "filter.h"

// Arguments of jbg_enc_options: order, options, l0, mx, my.  l0 is set to
// the band's rows before every band, so each band is a single stripe.
long JbgOptions[5] = {3, 0x158, 128, 16, 0};

static const int BAND_ROWS = 256;
static const size_t CHAIN_BLOCK = 0x10000;

static BIE_CHAIN *new_element(void)
{
    BIE_CHAIN *e = (BIE_CHAIN *)malloc(sizeof *e);
    if (!e)
        error(1, "Can't allocate space for chain\n");
    e->data = NULL;
    e->len = 0;
    e->next = NULL;
    return e;
}

// Data-out callback of the encoder: collects one band's output.  The first
// piece must be the 20-byte BIH, which fills the head element by itself;
// later pieces fill elements of 64 KiB, appended as they fill up.
void output_jbig(unsigned char *start, size_t len, void *cbarg)
{
    BIE_CHAIN **chain = (BIE_CHAIN **)cbarg;
    size_t capacity = CHAIN_BLOCK;

    if (*chain == NULL) {
        *chain = new_element();
        if (len != OAKBIH_SIZE)
            error(1, "First chunk must be BIH and 20 bytes long\n");
        capacity = len;
    }

    BIE_CHAIN *e = *chain;
    while (e->next)
        e = e->next;

    while (len > 0) {
        if (!e->data) {
            e->data = (unsigned char *)malloc(capacity);
            if (!e->data)
                error(1, "Can't allocate space for compressed data\n");
        }
        size_t n = capacity - e->len;
        if (n > len)
            n = len;
        memcpy(e->data + e->len, start, n);
        e->len += n;
        start += n;
        len -= n;
        if (e->len == capacity) {
            e->next = new_element();
            e = e->next;
        }
    }
}

void free_chain(BIE_CHAIN *chain)
{
    while (chain) {
        BIE_CHAIN *next = chain->next;
        free(chain->data);
        free(chain);
        chain = next;
    }
}

// Reverses a 4-byte field in place: T.82 stores XD, YD and L0 most
// significant byte first, the stream little-endian.
static void iswap32(unsigned char *p)
{
    unsigned char t = p[0];
    p[0] = p[3];
    p[3] = t;
    t = p[1];
    p[1] = p[2];
    p[2] = t;
}

// Encodes and writes the image in bands, straight from buf: h rows of
// (w + 7) / 8 bytes.
void write_bands(unsigned char *buf, int w, int h, FILE *ofp)
{
    size_t bpl = (size_t)((w + 7) / 8);

    for (int y = 0; y < h; y += BAND_ROWS) {
        unsigned char *band = buf + (size_t)y * bpl;
        int lines = h - y <= BAND_ROWS ? h - y : BAND_ROWS;
        OAK_IMAGE_DATA recdata;
        memset(&recdata, 0, sizeof recdata);
        recdata.y = (DWORD)y;
        recdata.plane = 3;
        recdata.subplane = 0;
        unsigned char *bitmaps[1] = {band};
        BIE_CHAIN *chain = NULL;

        JbgOptions[2] = lines;

        struct jbg_enc_state se;
        jbg_enc_init(&se, (unsigned long)w, (unsigned long)lines, 1, bitmaps, output_jbig, &chain);
        jbg_enc_options(&se, (int)JbgOptions[0], (int)JbgOptions[1], (unsigned long)JbgOptions[2],
                        (int)JbgOptions[3], (int)JbgOptions[4]);
        jbg_enc_out(&se);
        jbg_enc_free(&se);

        if (!chain || chain->len != OAKBIH_SIZE)
            error(1, "Program error: missing BIH at start of chain\n");

        size_t chainlen = 0;
        for (BIE_CHAIN *e = chain->next; e; e = e->next)
            chainlen += e->len;

        unsigned char bih[OAKBIH_SIZE];
        memcpy(bih, chain->data, sizeof bih);
        iswap32(bih + 4);
        iswap32(bih + 8);
        iswap32(bih + 12);
        oak_unpack_bih(bih, recdata.bih);

        recdata.datalen = (DWORD)chainlen;
        recdata.padlen = (DWORD)((chainlen + 15) & ~(size_t)15);

        unsigned char payload[OAK_IMAGE_DATA_SIZE];
        oak_pack_image_data(payload, recdata);
        oak_record(ofp, OAK_TYPE_IMAGE_DATA, payload, OAK_IMAGE_DATA_SIZE);

        for (BIE_CHAIN *e = chain->next; e; e = e->next) {
            if (e->len == 0)
                continue;
            if (fwrite(e->data, 1, e->len, ofp) != e->len)
                error(1, "fwrite(7): rc == 0!\n");
        }

        size_t fill = recdata.padlen - recdata.datalen;
        if (fill != 0) {
            if (fwrite(OAK_PAD, 1, fill, ofp) != fill)
                error(1, "fwrite(8): rc == 0!\n");
        }

        free_chain(chain);
    }
}
