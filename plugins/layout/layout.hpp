// The page builders: shared pieces and one registration function per card group.
#pragma once

#include "pyglue.hpp"

#include <string>

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
// default_figure_height as bound at import, and the height of figures that share a row.
int figure_height();
inline int short_figure_height() { return figure_height() - pyglue::kShorterBy; }
// build_default_fig(height=h): the placeholder figure.
nb::object placeholder(int height);
// dcc.Graph(id=..., figure=placeholder(height))
nb::object graph(const char* id, int height);
// html.Button(text, id=..., n_clicks=0): the buttons that start a run.
inline nb::object run_button(const char* text, const char* id) {
    return html("Button")(text, "id"_a = id, "n_clicks"_a = 0);
}

// html.Div(className="row", children=[...])
inline nb::object row(nb::list children) { return columns("row", std::move(children)); }
// A picker with no options yet, starting at "".
inline nb::object empty_dropdown(const char* id, bool multi = false) {
    return dropdown(id, nb::list(), nb::str(""), multi);
}
// A card's run button beside its loading indicators, half the row each.
inline nb::object run_row(const char* text, const char* id, nb::list loadings) {
    return row(kids(columns("six columns", kids(run_button(text, id))), columns("six columns", std::move(loadings))));
}
// A graph in the black border that every figure of the page has.
inline nb::object bordered_graph(const char* id, int height) { return bordered(kids(graph(id, height))); }
// A "four columns" card with a caption over a bordered graph.
inline nb::object figure_column(const char* card_id, const char* caption, const char* graph_id, int height) {
    return html("Div")("id"_a = card_id, "className"_a = "four columns",
                       "children"_a = kids(html("P")(caption), bordered_graph(graph_id, height)));
}
// A caption, the figure's loading indicator and the bordered figure, of the default height.
inline nb::object figure_card(const char* card_id, const char* caption, const char* topic, const char* graph_id) {
    return html("Div")("id"_a = card_id, "children"_a = kids(html("P")(caption), loading(topic, "circle"),
                                                               bordered_graph(graph_id, figure_height())));
}
// {"marginRight": "10px", "width": "100%"}: a text or number input across its column.
nb::dict wide_input_style();

// Registers a card builder: no arguments, a dash.html.Div back.
template <typename F>
void def_card(nb::module_& m, const char* name, F builder, const char* doc) {
    std::string sig = std::string("def ") + name + "() -> dash.html.Div";
    m.def(name, builder, nb::sig(sig.c_str()), doc);  // nanobind keeps a copy of the text
}

void register_frame(nb::module_& m);            // constants, discovery, store and input cards
void register_preprocess_cards(nb::module_& m);
void register_profile_cards(nb::module_& m);
void register_qc_cards(nb::module_& m);
void register_annotation_cards(nb::module_& m);
void register_differential_cards(nb::module_& m);
void register_decomposition_cards(nb::module_& m);
void register_clustering_cards(nb::module_& m);
void register_association_cards(nb::module_& m);
void register_enrichment_cards(nb::module_& m);
void register_genz_cards(nb::module_& m);
void register_page(nb::module_& m);             // build_layout and main

}  // namespace layout

namespace layout {
// dcc.Dropdown of the module's phenotypes, preselecting default_phenotype, else the
// first phenotype, else "" (the differential and decomposition cards; cards_differential.cpp).
nb::object phenotype_dropdown(const char* id);
}  // namespace layout
