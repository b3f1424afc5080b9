// OAKT stream writer: the record frame, the document records that open every
// page document, and the page records around the page image.
#include <climits>
#include <cstring>

#include "filter.h"

// Placement of the image on the sheet, on the 1/1200 inch grid: centred on
// the width of an A4 sheet, moved right by nLeftBase, and nTopBase down.
static const int nWidthA4 = 9920;
static const int nLeftBase = 200;
static const int nTopBase = 236;

// Writes one record: header, payload and filler to a multiple of 16 bytes.
// A write that does not take all its bytes ends the process.
int oak_record(FILE *fp, int type, const void *payload, int paylen)
{
    OAK_HDR hdr;
    unsigned char head[OAK_HDR_SIZE];

    memcpy(hdr.magic, OAK_MAGIC, sizeof hdr.magic);
    hdr.len = oak_record_len((DWORD)paylen);
    hdr.type = (DWORD)type;
    oak_pack_hdr(head, hdr);

    if (fwrite(head, 1, sizeof head, fp) != sizeof head)
        error(1, "fwrite(1): rc == 0!\n");

    if (payload && paylen != 0) {
        if (fwrite(payload, 1, (size_t)paylen, fp) != (size_t)paylen)
            error(1, "fwrite(2): rc == 0!\n");
    }

    size_t fill = hdr.len - (DWORD)paylen - OAK_HDR_SIZE;
    if (fill != 0) {
        if (fwrite(OAK_PAD, 1, fill, fp) != fill)
            error(1, "fwrite(3): rc == 0!\n");
    }
    return 0;
}

// Fills the time-stamp record for the clock reading now.  A reading that the
// C library cannot render leaves the text or the date fields zero.
void oak_time_fill(OAK_TIME *rec, time_t now)
{
    memset(rec, 0, sizeof *rec);

    const char *text = ctime(&now);
    if (text)
        strncpy(rec->datetime, text, sizeof rec->datetime - 1);

    rec->time_t_ = (DWORD)((unsigned long long)now & 0xffffffffu);

    const struct tm *tm = localtime(&now);
    if (tm) {
        rec->year = (WORD)(tm->tm_year + 1900);
        rec->tm_mon = (WORD)tm->tm_mon;
        rec->tm_mday = (WORD)tm->tm_mday;
        rec->tm_hour = (WORD)tm->tm_hour;
        rec->tm_min = (WORD)tm->tm_min;
        rec->tm_sec = (WORD)tm->tm_sec;
    }
}

// Writes the four records that open a page document.  The duplex record
// carries the Duplex setting as it stands now, before StartPage has taken
// the new page's header.
void start_doc(FILE *fp)
{
    unsigned char bytes[OAK_OTHER_SIZE];

    OAK_OTHER other;
    memset(&other, 0, sizeof other);
    other.unk = 1;
    strcpy(other.string, "OTHER");
    oak_pack_other(bytes, other);
    oak_record(fp, OAK_TYPE_OTHER, bytes, OAK_OTHER_SIZE);

    OAK_TIME stamp;
    oak_time_fill(&stamp, time(NULL));
    oak_pack_time(bytes, stamp);
    oak_record(fp, OAK_TYPE_TIME, bytes, OAK_TIME_SIZE);

    OAK_FILENAME name;
    memset(&name, 0, sizeof name);
    strcpy(name.string, "stdin");
    oak_pack_filename(bytes, name);
    oak_record(fp, OAK_TYPE_FILENAME, bytes, OAK_FILENAME_SIZE);

    OAK_DUPLEX duplex;
    duplex.duplex = (DWORD)Duplex;
    duplex.short_edge = 0;
    oak_pack_duplex(bytes, duplex);
    oak_record(fp, OAK_TYPE_DUPLEX, bytes, OAK_DUPLEX_SIZE);
}

// A size in pixels at res dots per inch, on the 1/1200 inch grid, truncated
// toward zero; 0 when the resolution is 0.  The page header check refuses
// pages whose size on the grid does not fit an int.
int grid_1200(int pixels, int res)
{
    if (res == 0)
        return 0;
    return (int)((long long)pixels * 1200 / res);
}

// Writes the page records, the image in bands and the records that close
// the page.  buf holds h rows of (w + 7) / 8 bytes; it is mirrored in place
// when the page settings ask for it.
int pbm_page(unsigned char *buf, int w, int h, FILE *ofp)
{
    unsigned char bytes[OAK_MEDIA_SIZE];

    int widthOnGrid = grid_1200(PageWidth, ResX);
    ImgOffsetLeft = (nWidthA4 - widthOnGrid) / 2 + nLeftBase;
    if (ImgOffsetLeft < 0)
        ImgOffsetLeft = 0;
    ImgOffsetTop = nTopBase;

    oak_record(ofp, OAK_TYPE_START_PAGE, NULL, 0);

    put_dword(bytes, (DWORD)SourceCode);
    oak_record(ofp, OAK_TYPE_SOURCE, bytes, OAK_SOURCE_SIZE);

    OAK_MEDIA media;
    media.media = (BYTE)MediaCode;
    media.unk8[0] = (BYTE)DensityLevel;
    media.unk8[1] = 0;
    media.unk8[2] = 0;
    memset(media.string, ' ', sizeof media.string);
    media.string[0] = '\0';
    oak_pack_media(bytes, media);
    oak_record(ofp, OAK_TYPE_MEDIA, bytes, OAK_MEDIA_SIZE);

    OAK_COPIES copies;
    copies.copies = (DWORD)Copies;
    copies.duplex = (DWORD)Duplex - 1;
    oak_pack_copies(bytes, copies);
    oak_record(ofp, OAK_TYPE_COPIES, bytes, OAK_COPIES_SIZE);

    OAK_PAPER paper;
    paper.paper = (DWORD)PaperCode;
    paper.w1200 = (DWORD)widthOnGrid;
    paper.h1200 = (DWORD)grid_1200(PageHeight, ResY);
    paper.unk = 0;
    oak_pack_paper(bytes, paper);
    oak_record(ofp, OAK_TYPE_PAPER, bytes, OAK_PAPER_SIZE);

    OAK_IMAGE_MONO mono;
    mono.plane.unk0 = (DWORD)ImgOffsetLeft;
    mono.plane.unk1 = (DWORD)ImgOffsetTop;
    mono.plane.w = (DWORD)w;
    mono.plane.h = (DWORD)h;
    mono.plane.resx = (DWORD)ResX;
    mono.plane.resy = (DWORD)ResY;
    mono.plane.nbits = 1;
    for (int i = 0; i < 16; i++)
        mono.plane.unk[i] = (char)i;
    oak_pack_image_mono(bytes, mono);
    oak_record(ofp, OAK_TYPE_IMAGE_MONO, bytes, OAK_IMAGE_MONO_SIZE);

    oak_record(ofp, OAK_TYPE_START_IMAGE, NULL, 0);

    if (Mirror) {
        int bpl = (w + 7) / 8;
        for (int y = 0; y < h; y++)
            mirror_bytes(buf + (size_t)y * (size_t)bpl, bpl, Mirror1);
    }

    write_bands(buf, w, h, ofp);

    oak_record(ofp, OAK_TYPE_END_IMAGE, NULL, 0);

    put_word(bytes, 0);
    oak_record(ofp, OAK_TYPE_END_PAGE, bytes, OAK_END_PAGE_SIZE);
    return 0;
}
