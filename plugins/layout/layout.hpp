// The page builders: shared pieces and one registration function per card group.
#pragma once

#include "pyglue.hpp"

namespace layout {
namespace nb = nanobind;
using namespace nb::literals;
using pyglue::bordered;
using pyglue::columns;
using pyglue::dcc;
using pyglue::dropdown;
using pyglue::html;
using pyglue::kids;
using pyglue::loading;
using pyglue::options_from;

// A module-level name of layout, read when called (phenotypes, default_phenotype, ...).
nb::object global(const char* name);
// default_figure_height as bound at import.
int figure_height();
// build_default_fig(height=h): the placeholder figure.
nb::object placeholder(int height);
// dcc.Graph(id=..., figure=placeholder(height))
nb::object graph(const char* id, int height);
// html.Button(text, id=..., n_clicks=0): the buttons that start a run.
inline nb::object run_button(const char* text, const char* id) {
    return html("Button")(text, "id"_a = id, "n_clicks"_a = 0);
}

void register_frame(nb::module_& m);            // constants, discovery, store and input cards
void register_preprocess_cards(nb::module_& m);
void register_profile_cards(nb::module_& m);
void register_qc_cards(nb::module_& m);
void register_annotation_cards(nb::module_& m);
void register_diff_cards(nb::module_& m);
void register_decomposition_cards(nb::module_& m);
void register_clustering_cards(nb::module_& m);
void register_assoc_cards(nb::module_& m);
void register_enrich_cards(nb::module_& m);
void register_genz_cards(nb::module_& m);
void register_page(nb::module_& m);             // build_layout and main

}  // namespace layout

namespace layout {
// dcc.Dropdown of the module's phenotypes, preselecting default_phenotype, else the
// first phenotype, else "" (the differential and decomposition cards).
nb::object phenotype_dropdown(const char* id);
}  // namespace layout
