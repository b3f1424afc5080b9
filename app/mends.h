// What the application does in place of functions of PAPPL and libcups.
// Each is reached from the definition of the library's name in
// interposed.cpp, which says what it mends, and is given the library's own
// function to call.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace quillet::app {

// The library's functions, as the application calls them.
using DeviceOpen = pappl_device_t *(*)(const char *, const char *, pappl_deverror_cb_t, void *);
using JobProcess = void *(*)(pappl_job_t *);
using SubmitFile = void (*)(pappl_job_t *, const char *);
using AddStrings = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int, const char *,
                                        const char *const *);
using SetGeoLocation = void (*)(pappl_printer_t *, const char *);
using AddIntegers = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int, const int *);
using AddCollections = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, const char *, int, const ipp_t **);
using SetReadyMedia = bool (*)(pappl_printer_t *, int, pappl_media_col_t *);
using CopyJobAttributes = void (*)(pappl_job_t *, pappl_client_t *, cups_array_t *);
using AuthorizeForGroup = http_status_t (*)(pappl_client_t *, bool, const char *, gid_t);
using CancelAllJobs = void (*)(pappl_printer_t *);
using RespondIpp = ipp_t *(*)(pappl_client_t *, ipp_status_t, const char *, ...);

// job_order.cpp: one job of a printer at a time, in the order they came;
// a file printer's output file; a printer that does not answer.
pappl_device_t *open_device(DeviceOpen real, const char *device_uri, const char *name,
                            pappl_deverror_cb_t error_cb, void *error_data);
void *process_job(JobProcess real, pappl_job_t *job);

// raster_jobs.cpp: a document its client sends is spooled within the
// server's bound, then submitted as a file (submit: PAPPL's own) and
// answered with the job's attributes (copy_attributes: the application's,
// which withhold what is private).
void receive_document(SubmitFile submit, CopyJobAttributes copy_attributes, pappl_client_t *client,
                      pappl_job_t *job);

// printer_attributes.cpp: attributes PAPPL writes wrong.
// The client being served on this thread, noted when PAPPL asks who it is
// (its request is read for the attributes it asks for).
void note_client(pappl_client_t *client);
pappl_client_t *noted_client();
ipp_attribute_t *add_strings(AddStrings real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                             int num_values, const char *language, const char *const *values);
void set_geo_location(SetGeoLocation real, pappl_printer_t *printer, const char *value);
// Each size's own margins (capabilities.h), where PAPPL has one set.
ipp_attribute_t *add_integers(AddIntegers real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                              int num_values, const int *values);
ipp_attribute_t *add_collections(AddCollections real, ipp_t *ipp, ipp_tag_t group, const char *name, int num_values,
                                 const ipp_t **values);
bool set_ready_media(SetReadyMedia real, pappl_printer_t *printer, int num_ready, pappl_media_col_t *ready);

// privacy.cpp: whose jobs a client reads and cancels, who the client is,
// why a printer is refused.
// The reason the printer being added on this thread is refused, given to
// the client that adds it.
void refuse_printer(const std::string &why);
void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested);
http_status_t authorize_for_group(AuthorizeForGroup real, pappl_client_t *client, bool allow_remote,
                                  const char *group, gid_t group_id);
void cancel_all_jobs(CancelAllJobs real, pappl_printer_t *printer);
ipp_t *respond_ipp(RespondIpp real, pappl_client_t *client, ipp_status_t status, const char *message);

}  // namespace quillet::app
