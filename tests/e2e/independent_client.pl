#!/usr/bin/perl
# A control point from another UPnP stack: finds the TmServerDevice by SSDP and calls two
# actions on it. Prints "name=value" per out-argument; dies when anything is missing.
use strict;
use warnings;
use Net::UPnP::ControlPoint;

my $device_type = 'urn:schemas-upnp-org:device:TmServerDevice:1';
my @found = grep { $_->getdevicetype() eq $device_type }
    Net::UPnP::ControlPoint->new()->search(st => $device_type, mx => 1);
die "no $device_type answered the search\n" unless @found;
print "devices=" . scalar(@found) . "\n";

sub call {
    my ($service_type, $action, %arguments) = @_;
    my $service = $found[0]->getservicebyname($service_type) or die "no service $service_type\n";
    my $response = $service->postaction($action, \%arguments);
    die "$action answered " . $response->getstatus() . "\n" unless $response->getstatuscode() == 200;
    my $out = $response->getargumentlist();
    print "$_=$out->{$_}\n" for sort keys %$out;
}

call('urn:schemas-upnp-org:service:TmClientProfile:1', 'GetMaxNumProfiles');
call('urn:schemas-upnp-org:service:TmApplicationServer:1', 'LaunchApplication', AppID => '0x0002', ProfileID => 0);
