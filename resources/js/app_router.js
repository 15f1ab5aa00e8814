'use strict';

// The page's two screens; every other address leads to the login screen.
var AppRouter = Backbone.Router.extend({
    routes: {
        login: 'login',
        domains: 'domains',
        '*path': 'defaultRoute'
    },

    login: function () {
        domains.forget();
        loginPage();
    },

    domains: function () {
        domainsPage();
    },

    defaultRoute: function () {
        this.navigate('login', { trigger: true });
    },

    // Draws the template held by the <script> element whose id is the page name into the page area.
    loadPage: function (page, options, data) {
        var content = $('.page .content');
        content.empty();
        var compiled = _.template($('script#' + page).html(), options);
        content.html(data === undefined ? compiled() : compiled(data));
    }
});

var app_router = null;
